// The one traversal of expression trees. What lies directly below each node
// kind is known in expr_walk.cc only; every pass that walks expressions goes
// through the functions here.
#pragma once

#include <functional>

#include <arrow/status.h>

#include "metadata_engine/statement_model.h"

namespace zv_sql {

// Calls `visit` on each operand directly below `expr` that is set, in the
// order SQL reads them: the sides of a binary operator; the operand of a
// unary, IN, LIKE or CAST, then the IN items or the LIKE pattern; a CASE's
// operand, its WHEN/THEN pairs and its ELSE; the arguments of a call. The
// SELECT nested in EXISTS, a scalar subquery or IN (SELECT ...) is no operand:
// it goes to `nested`, when given, after the operands (null for an EXISTS or a
// scalar subquery that lacks one). The first call that returns false stops the
// walk, and the result is false.
bool for_each_operand(const Expr& expr, const std::function<bool(const Expr&)>& visit,
                      const std::function<bool(const SelectStatement*)>& nested = nullptr);

// Whether `match` holds for an operand directly below `expr`.
bool any_operand(const Expr& expr, const std::function<bool(const Expr&)>& match);

// For passes that rebuild the tree: calls `rebuild` on the slot of each set
// operand, in the order above, and it may replace what the slot holds. The
// first failure stops the walk and is returned. Nested SELECTs are left to the
// pass: what to do with one is the pass's own business.
arrow::Status map_operands(Expr& expr, const std::function<arrow::Status(ExprPtr&)>& rebuild);

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
