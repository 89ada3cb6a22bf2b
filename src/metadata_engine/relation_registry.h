// The relations a metadata engine can answer from, keyed by lower-case name.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

namespace zv_sql {

namespace internal {
class RelationIndexes;
}

struct CachedRelation {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // possibly empty
  // False for a relation known by its columns only: its rows live elsewhere,
  // so no statement that reads it can be answered from here.
  bool rows_known = true;
  // Lookups by exact text, for a relation of one batch large enough to gain.
  std::shared_ptr<const internal::RelationIndexes> indexes;
};

class RelationRegistry {
 public:
  // Stores the relation under the ASCII-lower-cased `name`, replacing any
  // earlier registration under that key. Not safe against concurrent lookups:
  // the owner registers only while no statement runs on the engine.
  void register_relation(std::string_view name, std::shared_ptr<arrow::Schema> schema,
                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches);

  // The relation registered under exactly `key` (already lower case), or null.
  // A relation whose columns are known but whose rows are not (the catalog
  // does not deliver them): statements that read it are left to compute.
  void register_schema_only(std::string_view name, std::shared_ptr<arrow::Schema> schema);

  const CachedRelation* find(const std::string& key) const;

  size_t size() const { return relations_.size(); }

 private:
  std::unordered_map<std::string, CachedRelation> relations_;
};

}  // namespace zv_sql
