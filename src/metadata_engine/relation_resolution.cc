#include "metadata_engine/relation_resolution_internal.h"

#include "metadata_engine/ascii.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/overloaded.h"

namespace zv_sql::internal {

std::vector<std::string> candidate_keys(const RelationRef& ref) {
  std::vector<std::string> keys;
  if (ref.name.empty()) return keys;
  const std::string catalog = ascii_lower(ref.catalog);
  const std::string schema = ascii_lower(ref.schema);
  const std::string name = ascii_lower(ref.name);
  if (!catalog.empty() && !schema.empty()) keys.push_back(catalog + "." + schema + "." + name);
  if (!schema.empty()) keys.push_back(schema + "." + name);
  keys.push_back(name);
  return keys;
}

namespace {

const CachedRelation* resolve(const RelationRegistry& registry, const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    if (const CachedRelation* relation = registry.find(key)) return relation;
  }
  return nullptr;
}

std::optional<std::string> missing_in_statement(const RelationRegistry& registry, const SelectStatement* statement,
                                                 const char* invalid) {
  if (statement == nullptr || !statement->from) return std::string(invalid);
  return find_missing_relation(registry, statement->from.get());
}

}  // namespace

std::optional<std::string> find_missing_relation(const RelationRegistry& registry, const FromItem* from) {
  if (from == nullptr) return std::string("(invalid subquery)");
  return std::visit(
      Overloaded{
          [&](const RelationRef& ref) -> std::optional<std::string> {
            const std::vector<std::string> keys = candidate_keys(ref);
            if (resolve(registry, keys)) return std::nullopt;
            return keys.empty() ? std::string("(unnamed relation)") : keys.front();
          },
          [&](const std::unique_ptr<JoinClause>& join) -> std::optional<std::string> {
            if (!join || !join->left || !join->right) return std::string("(invalid join)");
            if (auto missing = find_missing_relation(registry, join->left.get())) return missing;
            return find_missing_relation(registry, join->right.get());
          },
          [&](const SubqueryRef& sub) -> std::optional<std::string> {
            return missing_in_statement(registry, sub.statement.get(), "(invalid subquery)");
          },
          [](const ValuesTable&) -> std::optional<std::string> { return std::nullopt; },
      },
      from->node);
}

std::optional<std::string> find_missing_relation(const RelationRegistry& registry, const Expr& expr) {
  std::optional<std::string> missing;
  auto check = [&](const ExprPtr& child) {
    if (!missing && child) missing = find_missing_relation(registry, *child);
  };
  auto check_statement = [&](const SelectPtr& statement) {
    if (!missing) missing = missing_in_statement(registry, statement.get(), "(invalid subquery)");
  };
  std::visit(Overloaded{
                 [&](const Comparison& e) { check(e.left), check(e.right); },
                 [&](const Arithmetic& e) { check(e.left), check(e.right); },
                 [&](const Logical& e) { check(e.left), check(e.right); },
                 [&](const Unary& e) { check(e.operand); },
                 [&](const InList& e) {
                   check(e.operand);
                   for (const ExprPtr& item : e.items) check(item);
                   if (e.subquery) check_statement(e.subquery);
                 },
                 [&](const Like& e) { check(e.operand), check(e.pattern); },
                 [&](const Case& e) {
                   check(e.operand);
                   for (const CaseBranch& branch : e.branches) check(branch.when), check(branch.then);
                   check(e.else_);
                 },
                 [&](const Cast& e) { check(e.operand); },
                 [&](const FunctionCall& e) {
                   for (const ExprPtr& arg : e.args) check(arg);
                 },
                 [&](const AggregateCall& e) {
                   for (const ExprPtr& arg : e.args) check(arg);
                 },
                 [&](const Exists& e) { check_statement(e.subquery); },
                 [&](const ScalarSubquery& e) { check_statement(e.subquery); },
                 [](const auto&) {},
             },
             expr.node);
  return missing;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_relation(const RelationRegistry& registry,
                                                                         const RelationRef& ref) {
  const std::vector<std::string> keys = candidate_keys(ref);
  const CachedRelation* relation = resolve(registry, keys);
  if (relation == nullptr) {
    return arrow::Status::Invalid("relation not cached: " + (keys.empty() ? std::string("(unnamed)") : keys.front()));
  }
  if (!relation->rows_known) {
    return decline("relation " + keys.front() + " has no rows in the catalog snapshot; left to compute");
  }
  if (relation->batches.empty()) return arrow::RecordBatch::MakeEmpty(relation->schema);
  if (relation->batches.size() == 1) return relation->batches.front();
  return arrow::ConcatenateRecordBatches(relation->batches);
}

}  // namespace zv_sql::internal
