// The traversals of expression trees that several passes share.
#pragma once

#include <functional>

#include "metadata_engine/statement_model.h"

namespace zv_sql {

// Visits the direct children of Comparison, Arithmetic, Logical (left, then
// right) and Unary (operand); no other kind is entered.
void for_each_child(Expr& expr, const std::function<void(Expr&)>& visit);

// Visits every ColumnRef reachable through the operators, IN lists, LIKE, CAST
// and function arguments. Case, Star, Exists, AggregateCall, ScalarSubquery and
// Literal are deliberately not entered: callers use it to ask which columns a
// predicate reads outside any nested scope.
void for_each_column_ref(const Expr& expr, const std::function<void(const ColumnRef&)>& visit);

// Whether `match` holds for the expression or any node below it, through
// every operand, list, branch and argument; nested subqueries are not
// entered (their nodes belong to them).
bool any_node(const Expr& expr, const std::function<bool(const Expr&)>& match);

// Whether an aggregate call appears anywhere in the expression, nested
// subqueries excepted (their aggregates belong to them).
bool contains_aggregate(const Expr& expr);

}  // namespace zv_sql
