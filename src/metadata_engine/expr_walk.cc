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

}  // namespace zv_sql
