// Subqueries and FROM items that are not registered relations: the names a
// FROM tree binds, the check that a subquery can run on its own, the EXISTS
// rewrite into semi and anti joins, the flatten pass that replaces the other
// subquery expressions by constants, and derived tables and VALUES lists as
// record batches.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/metadata_engine.h"
#include "metadata_engine/relation_registry.h"
#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

using BatchPtr = std::shared_ptr<arrow::RecordBatch>;

// Runs a nested statement through the engine, one nesting level deeper.
using SubqueryRunner = std::function<ExecuteResult(SelectStatement&)>;

// Nested subqueries beyond this depth are left to compute.
inline constexpr int kMaxSubqueryDepth = 32;

// The names a FROM tree makes visible, lower case. A relation with an alias
// is reachable through the alias only, as in SQL.
struct InnerNames {
  std::set<std::string> qualifiers;
  std::set<std::string> columns;
};

InnerNames inner_names(const RelationRegistry& registry, const FromItem* from);

// Whether `ref` names something of `names`.
bool binds(const InnerNames& names, const ColumnRef& ref);

// The first column reference inside `statement` (at any depth, derived tables
// and nested subqueries included) that none of its own scopes binds, written
// as in the query; nothing when the statement can run on its own.
std::optional<std::string> outer_reference(const RelationRegistry& registry,
                                           const SelectStatement& statement);

// The same for a FROM tree alone (ON conditions and derived tables).
std::optional<std::string> outer_reference(const RelationRegistry& registry, const FromItem& from);

// Runs a subquery on its own. A correlated subquery and one the engine
// declines decline the outer statement too; an inner failure copies its text
// to `error` and fails with `prefix` followed by it.
arrow::Result<ExecuteResult> run_subquery(const RelationRegistry& registry,
                                          const SubqueryRunner& runner, SelectStatement& statement,
                                          std::string_view prefix, std::string* error);

// A derived table as one batch.
arrow::Result<BatchPtr> materialize_subquery(const RelationRegistry& registry,
                                             const SubqueryRunner& runner, SubqueryRef& ref,
                                             std::string* error);

// A VALUES list as one batch.
arrow::Result<BatchPtr> materialize_values(const ValuesTable& table, std::string* error);

// Turns [NOT] EXISTS conjuncts of WHERE that correlate through column
// equalities only into semi and anti joins of the FROM tree.
void rewrite_exists(const RelationRegistry& registry, SelectStatement& statement);

// Replaces every subquery expression in `expr` by the constants it yields.
arrow::Status flatten(const RelationRegistry& registry, const SubqueryRunner& runner, ExprPtr& expr,
                      std::string* error);

}  // namespace zv_sql::internal
