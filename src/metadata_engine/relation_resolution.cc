#include "metadata_engine/relation_resolution_internal.h"

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/overloaded_internal.h"

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

const CachedRelation* resolve(const RelationRegistry& registry,
                              const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    if (const CachedRelation* relation = registry.find(key)) return relation;
  }
  return nullptr;
}

std::optional<std::string> missing_in_statement(const RelationRegistry& registry,
                                                const SelectStatement* statement,
                                                const char* invalid) {
  if (statement == nullptr || !statement->from) return std::string(invalid);
  return find_missing_relation(registry, statement->from.get());
}

}  // namespace

const CachedRelation* resolve_relation(const RelationRegistry& registry, const RelationRef& ref) {
  return resolve(registry, candidate_keys(ref));
}

std::optional<std::string> find_missing_relation(const RelationRegistry& registry,
                                                 const FromItem* from) {
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

std::optional<std::string> find_missing_relation(const RelationRegistry& registry,
                                                 const Expr& expr) {
  std::optional<std::string> missing;
  for_each_operand(
      expr,
      [&](const Expr& operand) {
        missing = find_missing_relation(registry, operand);
        return !missing;
      },
      [&](const SelectStatement* nested) {
        missing = missing_in_statement(registry, nested, "(invalid subquery)");
        return !missing;
      });
  return missing;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_relation(
    const RelationRegistry& registry, const RelationRef& ref) {
  const std::vector<std::string> keys = candidate_keys(ref);
  const CachedRelation* relation = resolve(registry, keys);
  if (relation == nullptr) {
    return arrow::Status::Invalid("relation not cached: " +
                                  (keys.empty() ? std::string("(unnamed)") : keys.front()));
  }
  if (!relation->rows_known) {
    return decline("relation " + keys.front() +
                   " has no rows in the catalog snapshot; left to compute");
  }
  if (relation->batches.empty()) return arrow::RecordBatch::MakeEmpty(relation->schema);
  if (relation->batches.size() == 1) return relation->batches.front();
  return arrow::ConcatenateRecordBatches(relation->batches);
}

}  // namespace zv_sql::internal
