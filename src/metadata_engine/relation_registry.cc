#include "metadata_engine/relation_registry.h"

#include <map>
#include <mutex>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/relation_indexes_internal.h"

namespace zv_sql {

namespace {

// Connections that install the same snapshot register the same batches, so
// they share one set of indexes per batch, built once in the process and
// kept while some registry holds it.
std::shared_ptr<const internal::RelationIndexes> shared_indexes(
    const std::shared_ptr<arrow::RecordBatch>& batch) {
  static std::mutex mutex;
  static std::map<const arrow::RecordBatch*, std::weak_ptr<internal::RelationIndexes>> live;
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(live, [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<internal::RelationIndexes>& slot = live[batch.get()];
  if (std::shared_ptr<internal::RelationIndexes> existing = slot.lock()) return existing;
  auto made = std::make_shared<internal::RelationIndexes>(batch);
  slot = made;
  return made;
}

}  // namespace

void RelationRegistry::register_relation(std::string_view name,
                                         std::shared_ptr<arrow::Schema> schema,
                                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  CachedRelation relation;
  relation.schema = std::move(schema);
  relation.batches = std::move(batches);
  // Below a few thousand rows a scan costs less than building the index.
  constexpr int64_t kIndexedRows = 4096;
  if (relation.batches.size() == 1 && relation.batches.front()->num_rows() >= kIndexedRows) {
    relation.indexes = shared_indexes(relation.batches.front());
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
