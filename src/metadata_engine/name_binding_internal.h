// Binding, before anything is evaluated: every name in every clause of a
// statement must resolve as the service resolves it, or the statement is
// left to compute. The evaluator's own lookups are more forgiving (they
// ignore qualifiers), so this is the check that keeps a local answer from
// existing where compute raises an error.
#pragma once

#include <optional>
#include <string>

#include "metadata_engine/relation_registry.h"
#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// The first reason the statement's names do not bind exactly as the
// service's binder would bind them: a qualifier that names no FROM item, a
// column that its relation does not have, an ambiguous column, two FROM items
// under one name, a NATURAL join without shared columns, a catalog other than
// the snapshot's, a derived table's column that only the service can name.
// Nested subqueries bind with the scopes around them. With `output_visible`
// the statement's own select list must also be named as the service names it.
// The name the service gives an unaliased select item that is no column:
// count_star() for count(*), and the spelling of a constant (1, -1, 'a',
// NULL, true); nothing for every other expression, which the service names
// by its text.
std::optional<std::string> constant_output_name(const Expr& expr);

std::optional<std::string> binding_problem(const RelationRegistry& registry,
                                           const SelectStatement& statement, bool output_visible);

}  // namespace zv_sql::internal
