#include "metadata_engine/relation_registry.h"

#include "metadata_engine/ascii_internal.h"

namespace zv_sql {

void RelationRegistry::register_relation(std::string_view name,
                                         std::shared_ptr<arrow::Schema> schema,
                                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  relations_[ascii_lower(name)] = CachedRelation{std::move(schema), std::move(batches)};
}

void RelationRegistry::register_schema_only(std::string_view name,
                                            std::shared_ptr<arrow::Schema> schema) {
  relations_[ascii_lower(name)] = CachedRelation{std::move(schema), {}, /*rows_known=*/false};
}

const CachedRelation* RelationRegistry::find(const std::string& key) const {
  auto it = relations_.find(key);
  return it == relations_.end() ? nullptr : &it->second;
}

}  // namespace zv_sql
