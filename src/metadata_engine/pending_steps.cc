#include "metadata_engine/pending_steps_internal.h"

#include "metadata_engine/overloaded.h"

namespace zv_sql::internal {

namespace {

// Whether a subquery hides anywhere in the expression, at any depth.
bool contains_subquery(const Expr& expr) {
  auto any = [](const ExprPtr& child) { return child && contains_subquery(*child); };
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
                        [&](const InList& e) { return e.subquery || any(e.operand) || any_of(e.items); },
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
                        [](const Exists&) { return true; },
                        [](const ScalarSubquery&) { return true; },
                        [](const auto&) { return false; },
                    },
                    expr.node);
}

// ON conditions are evaluated inside the join, where no flatten pass reaches.
bool join_condition_has_subquery(const FromItem& from) {
  const auto* join = std::get_if<std::unique_ptr<JoinClause>>(&from.node);
  if (join == nullptr || !*join) return false;
  if ((*join)->condition && contains_subquery(*(*join)->condition)) return true;
  return ((*join)->left && join_condition_has_subquery(*(*join)->left)) ||
         ((*join)->right && join_condition_has_subquery(*(*join)->right));
}

}  // namespace

std::optional<std::string> pending_step_reason(const SelectStatement& statement) {
  if (statement.from && join_condition_has_subquery(*statement.from)) {
    return "subqueries in JOIN conditions are left to compute";
  }
  return std::nullopt;
}

}  // namespace zv_sql::internal
