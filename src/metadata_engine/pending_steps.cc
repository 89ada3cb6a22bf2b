#include "metadata_engine/pending_steps_internal.h"

#include "metadata_engine/expr_walk_internal.h"

namespace zv_sql::internal {

namespace {

// Whether a subquery hides anywhere in the expression, at any depth.
bool contains_subquery(const Expr& expr) {
  return any_node(expr, [](const Expr& e) {
    if (const auto* in = std::get_if<InList>(&e.node)) return in->subquery != nullptr;
    return std::holds_alternative<Exists>(e.node) || std::holds_alternative<ScalarSubquery>(e.node);
  });
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
