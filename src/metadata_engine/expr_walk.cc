#include "metadata_engine/expr_walk.h"

#include "metadata_engine/overloaded.h"

namespace zv_sql {

void for_each_child(Expr& expr, const std::function<void(Expr&)>& visit) {
  auto visit_if = [&](ExprPtr& child) {
    if (child) visit(*child);
  };
  std::visit(Overloaded{
                 [&](Comparison& e) { visit_if(e.left), visit_if(e.right); },
                 [&](Arithmetic& e) { visit_if(e.left), visit_if(e.right); },
                 [&](Logical& e) { visit_if(e.left), visit_if(e.right); },
                 [&](Unary& e) { visit_if(e.operand); },
                 [](auto&) {},
             },
             expr.node);
}

void for_each_column_ref(const Expr& expr, const std::function<void(const ColumnRef&)>& visit) {
  auto walk = [&](const ExprPtr& child) {
    if (child) for_each_column_ref(*child, visit);
  };
  std::visit(Overloaded{
                 [&](const ColumnRef& e) { visit(e); },
                 [&](const Comparison& e) { walk(e.left), walk(e.right); },
                 [&](const Arithmetic& e) { walk(e.left), walk(e.right); },
                 [&](const Logical& e) { walk(e.left), walk(e.right); },
                 [&](const Unary& e) { walk(e.operand); },
                 [&](const InList& e) {
                   walk(e.operand);
                   for (const auto& item : e.items) walk(item);
                 },
                 [&](const Like& e) { walk(e.operand), walk(e.pattern); },
                 [&](const Cast& e) { walk(e.operand); },
                 [&](const FunctionCall& e) {
                   for (const auto& arg : e.args) walk(arg);
                 },
                 [](const auto&) {},
             },
             expr.node);
}

bool any_node(const Expr& expr, const std::function<bool(const Expr&)>& match) {
  if (match(expr)) return true;
  auto any = [&](const ExprPtr& child) { return child && any_node(*child, match); };
  auto any_of = [&](const std::vector<ExprPtr>& list) {
    for (const ExprPtr& child : list) {
      if (any(child)) return true;
    }
    return false;
  };
  return std::visit(Overloaded{
                        [&](const Comparison& e) { return any(e.left) || any(e.right); },
                        [&](const Arithmetic& e) { return any(e.left) || any(e.right); },
                        [&](const Logical& e) { return any(e.left) || any(e.right); },
                        [&](const Unary& e) { return any(e.operand); },
                        [&](const InList& e) { return any(e.operand) || any_of(e.items); },
                        [&](const Like& e) { return any(e.operand) || any(e.pattern); },
                        [&](const Case& e) {
                          for (const CaseBranch& branch : e.branches) {
                            if (any(branch.when) || any(branch.then)) return true;
                          }
                          return any(e.operand) || any(e.else_);
                        },
                        [&](const Cast& e) { return any(e.operand); },
                        [&](const FunctionCall& e) { return any_of(e.args); },
                        [&](const AggregateCall& e) { return any_of(e.args); },
                        [](const auto&) { return false; },
                    },
                    expr.node);
}

bool contains_aggregate(const Expr& expr) {
  return any_node(expr, [](const Expr& e) { return std::holds_alternative<AggregateCall>(e.node); });
}

}  // namespace zv_sql
