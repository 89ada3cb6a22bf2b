#include "metadata_engine/relation_registry.h"

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/relation_indexes_internal.h"

namespace zv_sql {

void RelationRegistry::register_relation(std::string_view name,
                                         std::shared_ptr<arrow::Schema> schema,
                                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  CachedRelation relation;
  relation.schema = std::move(schema);
  relation.batches = std::move(batches);
  // Below a few thousand rows a scan costs less than building the index.
  constexpr int64_t kIndexedRows = 4096;
  if (relation.batches.size() == 1 && relation.batches.front()->num_rows() >= kIndexedRows) {
    relation.indexes = std::make_shared<internal::RelationIndexes>(relation.batches.front());
  }
  relations_[ascii_lower(name)] = std::move(relation);
}

void RelationRegistry::register_schema_only(std::string_view name,
                                            std::shared_ptr<arrow::Schema> schema) {
  CachedRelation relation;
  relation.schema = std::move(schema);
  relation.rows_known = false;
  relations_[ascii_lower(name)] = std::move(relation);
}

const CachedRelation* RelationRegistry::find(const std::string& key) const {
  auto it = relations_.find(key);
  return it == relations_.end() ? nullptr : &it->second;
}

}  // namespace zv_sql
