#include "metadata_engine/decimal_constants_internal.h"

#include "metadata_engine/overloaded.h"

namespace zv_sql::internal {

namespace {

bool is_decimal(const ExprPtr& expr) {
  const auto* literal = expr ? std::get_if<Literal>(&expr->node) : nullptr;
  return literal != nullptr && literal->decimal;
}

bool is_column(const ExprPtr& expr) { return expr && std::holds_alternative<ColumnRef>(expr->node); }

// Whether a decimal constant appears where it is not allowed.
bool misplaced(const ExprPtr& slot) {
  if (!slot) return false;
  auto all = [](const std::vector<ExprPtr>& list) {
    for (const ExprPtr& e : list) {
      if (misplaced(e)) return true;
    }
    return false;
  };
  return std::visit(Overloaded{
                        [](const Literal& e) { return e.decimal; },
                        [](const Comparison& e) {
                          // A decimal side is fine against a column; the
                          // column side itself holds no constant.
                          if (is_decimal(e.left) && is_column(e.right)) return false;
                          if (is_decimal(e.right) && is_column(e.left)) return false;
                          return misplaced(e.left) || misplaced(e.right);
                        },
                        [](const Arithmetic& e) { return misplaced(e.left) || misplaced(e.right); },
                        [](const Logical& e) { return misplaced(e.left) || misplaced(e.right); },
                        [](const Unary& e) { return misplaced(e.operand); },
                        [&](const InList& e) {
                          if (misplaced(e.operand)) return true;
                          for (const ExprPtr& item : e.items) {
                            if (!is_decimal(item) && misplaced(item)) return true;
                          }
                          return false;
                        },
                        [](const Like& e) { return misplaced(e.operand) || misplaced(e.pattern); },
                        [&](const Case& e) {
                          for (const CaseBranch& branch : e.branches) {
                            if (misplaced(branch.when) || misplaced(branch.then)) return true;
                          }
                          return misplaced(e.operand) || misplaced(e.else_);
                        },
                        [](const Cast& e) { return misplaced(e.operand); },
                        [&](const FunctionCall& e) { return all(e.args); },
                        [&](const AggregateCall& e) { return all(e.args); },
                        [](const auto&) { return false; },
                    },
                    slot->node);
}

bool misplaced_in_from(const FromItem* from) {
  if (from == nullptr) return false;
  return std::visit(Overloaded{
                        [](const RelationRef&) { return false; },
                        [](const std::unique_ptr<JoinClause>& join) {
                          return join && (misplaced(join->condition) || misplaced_in_from(join->left.get()) ||
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
