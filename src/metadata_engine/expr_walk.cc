#include "metadata_engine/expr_walk_internal.h"

#include <type_traits>

#include "metadata_engine/overloaded_internal.h"

namespace zv_sql {

namespace {

// `T` as const as `E`: one walk serves the passes that read and those that
// rebuild.
template <class E, class T>
using LikeConst = std::conditional_t<std::is_const_v<E>, const T, T>;

// Every node kind is named and none is caught by a fallback, so a new kind
// does not compile until it says what lies below it. `operand` gets each set
// operand slot, `nested` each nested SELECT slot; either stops the walk by
// returning false.
template <class E, class OnOperand, class OnNested>
bool walk_below(E& expr, const OnOperand& operand, const OnNested& nested) {
  auto one = [&](auto& slot) { return !slot || operand(slot); };
  auto all = [&](auto& slots) {
    for (auto& slot : slots) {
      if (!one(slot)) return false;
    }
    return true;
  };
  auto branches = [&](auto& list) {
    for (auto& branch : list) {
      if (!one(branch.when) || !one(branch.then)) return false;
    }
    return true;
  };
  return std::visit(Overloaded{
                        [](LikeConst<E, ColumnRef>&) { return true; },
                        [](LikeConst<E, Literal>&) { return true; },
                        [](LikeConst<E, Star>&) { return true; },
                        [&](LikeConst<E, Comparison>& e) { return one(e.left) && one(e.right); },
                        [&](LikeConst<E, Arithmetic>& e) { return one(e.left) && one(e.right); },
                        [&](LikeConst<E, Logical>& e) { return one(e.left) && one(e.right); },
                        [&](LikeConst<E, Unary>& e) { return one(e.operand); },
                        [&](LikeConst<E, InList>& e) {
                          return one(e.operand) && all(e.items) &&
                                 (!e.subquery || nested(e.subquery));
                        },
                        [&](LikeConst<E, Like>& e) { return one(e.operand) && one(e.pattern); },
                        [&](LikeConst<E, Case>& e) {
                          return one(e.operand) && branches(e.branches) && one(e.else_);
                        },
                        [&](LikeConst<E, Cast>& e) { return one(e.operand); },
                        [&](LikeConst<E, FunctionCall>& e) { return all(e.args); },
                        [&](LikeConst<E, AggregateCall>& e) { return all(e.args); },
                        [&](LikeConst<E, Exists>& e) { return nested(e.subquery); },
                        [&](LikeConst<E, ScalarSubquery>& e) { return nested(e.subquery); },
                    },
                    expr.node);
}

bool is_operator(const Expr& expr) {
  return std::holds_alternative<Comparison>(expr.node) ||
         std::holds_alternative<Arithmetic>(expr.node) ||
         std::holds_alternative<Logical>(expr.node) || std::holds_alternative<Unary>(expr.node);
}

}  // namespace

bool for_each_operand(const Expr& expr, const std::function<bool(const Expr&)>& visit,
                      const std::function<bool(const SelectStatement*)>& nested) {
  return walk_below(
      expr, [&](const ExprPtr& slot) { return visit(*slot); },
      [&](const SelectPtr& select) { return !nested || nested(select.get()); });
}

bool any_operand(const Expr& expr, const std::function<bool(const Expr&)>& match) {
  return !for_each_operand(expr, [&](const Expr& operand) { return !match(operand); });
}

arrow::Status map_operands(Expr& expr, const std::function<arrow::Status(ExprPtr&)>& rebuild) {
  arrow::Status status;
  walk_below(
      expr,
      [&](ExprPtr& slot) {
        status = rebuild(slot);
        return status.ok();
      },
      [](SelectPtr&) { return true; });
  return status;
}

void for_each_child(Expr& expr, const std::function<void(Expr&)>& visit) {
  if (!is_operator(expr)) return;
  walk_below(
      expr,
      [&](ExprPtr& child) {
        visit(*child);
        return true;
      },
      [](SelectPtr&) { return true; });
}

void for_each_column_ref(const Expr& expr, const std::function<void(const ColumnRef&)>& visit) {
  if (const auto* ref = std::get_if<ColumnRef>(&expr.node)) return visit(*ref);
  // Left out on purpose, as the header says.
  if (std::holds_alternative<Case>(expr.node) || std::holds_alternative<AggregateCall>(expr.node))
    return;
  for_each_operand(expr, [&](const Expr& operand) {
    for_each_column_ref(operand, visit);
    return true;
  });
}

bool any_node(const Expr& expr, const std::function<bool(const Expr&)>& match) {
  return match(expr) ||
         any_operand(expr, [&](const Expr& operand) { return any_node(operand, match); });
}

bool contains_aggregate(const Expr& expr) {
  return any_node(expr,
                  [](const Expr& e) { return std::holds_alternative<AggregateCall>(e.node); });
}

}  // namespace zv_sql
