#include "metadata_engine/decimal_constants_internal.h"

#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/overloaded_internal.h"

namespace zv_sql::internal {

namespace {

bool is_decimal(const ExprPtr& expr) {
  const auto* literal = expr ? std::get_if<Literal>(&expr->node) : nullptr;
  return literal != nullptr && literal->decimal;
}

bool is_column(const ExprPtr& expr) {
  return expr && std::holds_alternative<ColumnRef>(expr->node);
}

bool misplaced(const Expr& expr);

bool misplaced(const ExprPtr& slot) { return slot && misplaced(*slot); }

// Whether a decimal constant appears where it is not allowed.
bool misplaced(const Expr& expr) {
  if (const auto* literal = std::get_if<Literal>(&expr.node)) return literal->decimal;
  if (const auto* cmp = std::get_if<Comparison>(&expr.node)) {
    // A decimal side is fine against a column; the column side itself holds
    // no constant.
    if ((is_decimal(cmp->left) && is_column(cmp->right)) ||
        (is_decimal(cmp->right) && is_column(cmp->left))) {
      return false;
    }
  }
  if (const auto* in = std::get_if<InList>(&expr.node)) {
    // The items of an IN list may be decimal constants themselves.
    if (misplaced(in->operand)) return true;
    for (const ExprPtr& item : in->items) {
      if (!is_decimal(item) && misplaced(item)) return true;
    }
    return false;
  }
  return any_operand(expr, [](const Expr& operand) { return misplaced(operand); });
}

bool misplaced_in_from(const FromItem* from) {
  if (from == nullptr) return false;
  return std::visit(Overloaded{
                        [](const RelationRef&) { return false; },
                        [](const std::unique_ptr<JoinClause>& join) {
                          return join && (misplaced(join->condition) ||
                                          misplaced_in_from(join->left.get()) ||
                                          misplaced_in_from(join->right.get()));
                        },
                        [](const SubqueryRef&) { return false; },
                        [](const ValuesTable& table) {
                          for (const auto& row : table.rows) {
                            for (const ExprPtr& value : row) {
                              if (is_decimal(value) || misplaced(value)) return true;
                            }
                          }
                          return false;
                        },
                    },
                    from->node);
}

}  // namespace

std::optional<std::string> decimal_constant_reason(const SelectStatement& statement) {
  bool found = misplaced(statement.where) || misplaced_in_from(statement.from.get());
  for (const ProjectionItem& item : statement.projection) found = found || misplaced(item.expr);
  for (const ExprPtr& key : statement.group_by) found = found || misplaced(key);
  for (const OrderItem& item : statement.order_by) found = found || misplaced(item.expr);
  if (!found) return std::nullopt;
  return "decimal constant outside a comparison with a column is left to compute";
}

}  // namespace zv_sql::internal
