#include <utility>
#include <vector>

#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

namespace {

struct CorrelationPair {
  ColumnRef outer;
  ColumnRef inner;
};

// Every conjunct of the subquery's WHERE must equate one inner column with
// one column of the outer FROM: then the subquery has a row for an outer row
// exactly when the join finds a match. Any other predicate (inner-only ones
// included, which the join could not apply before matching) keeps the
// subquery as it is.
bool split_pairs(const Expr& predicate, const InnerNames& inner, const InnerNames& outer,
                 std::vector<CorrelationPair>* pairs) {
  if (const auto* logical = std::get_if<Logical>(&predicate.node);
      logical && logical->op == LogicalOp::And) {
    return logical->left && logical->right && split_pairs(*logical->left, inner, outer, pairs) &&
           split_pairs(*logical->right, inner, outer, pairs);
  }
  const auto* cmp = std::get_if<Comparison>(&predicate.node);
  if (cmp == nullptr || cmp->op != CompareOp::Eq || !cmp->left || !cmp->right) return false;
  const auto* a = std::get_if<ColumnRef>(&cmp->left->node);
  const auto* b = std::get_if<ColumnRef>(&cmp->right->node);
  if (a == nullptr || b == nullptr) return false;
  const bool a_inner = binds(inner, *a), b_inner = binds(inner, *b);
  if (a_inner == b_inner) return false;
  const ColumnRef& outer_ref = a_inner ? *b : *a;
  // A name of a scope further out is not a column of the join's left side.
  if (!binds(outer, outer_ref)) return false;
  pairs->push_back({outer_ref, a_inner ? *a : *b});
  return true;
}

// An aggregate anywhere in the select list (count(*) + 0 as much as
// count(*)) makes the subquery yield a row whether or not any row matches.
bool has_aggregate(const SelectStatement& statement) {
  for (const ProjectionItem& item : statement.projection) {
    if (item.expr && contains_aggregate(*item.expr)) return true;
  }
  return false;
}

// Turns one EXISTS into a join of the outer FROM tree; false leaves both
// statements untouched.
bool try_rewrite(const RelationRegistry& registry, SelectStatement& outer, SelectStatement* sub,
                 bool negated) {
  // An aggregate always yields a row, LIMIT and OFFSET can remove the only
  // one, GROUP BY and DISTINCT only add cases to reason about.
  if (sub == nullptr || !sub->from || !sub->where || !outer.from) return false;
  if (has_aggregate(*sub) || sub->limit || sub->offset || sub->distinct || !sub->group_by.empty()) {
    return false;
  }
  const InnerNames inner = inner_names(registry, sub->from.get());
  if (inner.columns.empty()) return false;
  if (outer_reference(registry, *sub->from)) return false;
  const InnerNames outer_names = inner_names(registry, outer.from.get());
  std::vector<CorrelationPair> pairs;
  if (!split_pairs(*sub->where, inner, outer_names, &pairs) || pairs.empty()) return false;

  // Qualifiers stay: they tell the join which side a shared name belongs to.
  ExprPtr condition;
  for (CorrelationPair& pair : pairs) {
    ExprPtr equal = make_expr(Comparison{CompareOp::Eq, make_expr(std::move(pair.outer)),
                                         make_expr(std::move(pair.inner))});
    condition = condition
                    ? make_expr(Logical{LogicalOp::And, std::move(condition), std::move(equal)})
                    : std::move(equal);
  }
  auto join = std::make_unique<JoinClause>();
  join->type = negated ? JoinType::Anti : JoinType::Semi;
  join->left = std::move(outer.from);
  join->right = std::move(sub->from);
  join->condition = std::move(condition);
  sub->where.reset();
  outer.from = std::make_unique<FromItem>(std::move(join));
  return true;
}

// Only conjuncts of WHERE: an EXISTS under OR, NOT or a comparison filters
// rows that the rest of the predicate may keep, which a join cannot express.
// Every rewrite wraps the FROM tree in one more join, so their number is
// capped: the rest run as subqueries (or go to compute) instead of making the
// join tree as deep as the WHERE clause is long.
constexpr int kMaxExistsRewrites = 16;

void rewrite_conjuncts(const RelationRegistry& registry, SelectStatement& outer, ExprPtr& slot,
                       int& rewrites) {
  if (!slot || rewrites >= kMaxExistsRewrites) return;
  if (auto* logical = std::get_if<Logical>(&slot->node); logical && logical->op == LogicalOp::And) {
    rewrite_conjuncts(registry, outer, logical->left, rewrites);
    rewrite_conjuncts(registry, outer, logical->right, rewrites);
    return;
  }
  Exists* exists = std::get_if<Exists>(&slot->node);
  bool negated = exists != nullptr && exists->negated;
  if (auto* unary = std::get_if<Unary>(&slot->node);
      unary && unary->op == UnaryOp::Not && unary->operand) {
    exists = std::get_if<Exists>(&unary->operand->node);
    negated = exists != nullptr && !exists->negated;
  }
  if (exists == nullptr) return;
  if (try_rewrite(registry, outer, exists->subquery.get(), negated)) {
    slot = make_expr(Literal{true, Type::Bool});
    ++rewrites;
  }
}

}  // namespace

void rewrite_exists(const RelationRegistry& registry, SelectStatement& statement) {
  int rewrites = 0;
  rewrite_conjuncts(registry, statement, statement.where, rewrites);
}

}  // namespace zv_sql::internal
