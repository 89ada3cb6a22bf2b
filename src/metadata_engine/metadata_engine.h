// The metadata engine: answers a narrow class of SELECT statements locally,
// over relations registered from the catalog snapshot, and declines the rest
// so that they can be sent to compute.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include "metadata_engine/parse_select.h"
#include "metadata_engine/relation_registry.h"
#include "metadata_engine/statement_model.h"

namespace zv_sql {

enum class ExecuteStatus : int32_t {
  Ok = 0,          // answered locally
  NotHandled = 1,  // not for this engine: route to compute
  Error = 2,       // the engine tried and failed
};

struct ExecuteResult {
  ExecuteStatus status = ExecuteStatus::NotHandled;
  std::shared_ptr<arrow::Schema> schema;                     // Ok only
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;  // exactly one batch on Ok
  std::string error;                                         // Error: detailed text
  std::string reason;                                        // NotHandled: why
};

class MetadataEngine {
 public:
  MetadataEngine() = default;

  // See RelationRegistry::register_relation: the key is the lower-cased name
  // and a later registration replaces an earlier one.
  void register_relation(std::string_view name, std::shared_ptr<arrow::Schema> schema,
                         std::vector<std::shared_ptr<arrow::RecordBatch>> batches);

  RelationRegistry& registry() { return registry_; }
  const RelationRegistry& registry() const { return registry_; }

  // Parses and runs `sql`. Malformed SQL gives Error; SQL outside the engine's
  // scope gives NotHandled. Never throws.
  ExecuteResult execute_sql(std::string_view sql) const;

  // Runs an already parsed statement, which later steps may rewrite in place.
  // Reads the registry only, so several statements may run at once as long as
  // nobody registers meanwhile. Never throws.
  ExecuteResult execute(SelectStatement& statement) const;

 private:
  RelationRegistry registry_;
};

}  // namespace zv_sql
