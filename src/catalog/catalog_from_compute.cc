#include "catalog/catalog_from_compute.h"

#include <arrow/table.h>

#include <string>
#include <vector>

#include "diagnostics/sql_trace.h"
#include "util/failure.h"
#include "stream/query_failure.h"
#include "stream/query_worker.h"

namespace zv {

arrow::Result<std::shared_ptr<arrow::RecordBatch>> ReadRelationFromCompute(
    const ComputeCatalogCall& call, std::string_view relation) {
  const std::string sql = "SELECT * FROM information_schema." + std::string(relation);
  ScopedTraceLabel label("catalog call without a snapshot");
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query, StartCancellableQuery(call.transport, sql, 0,
                                                                call.timeout_sec, {call.cancel}));
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  std::shared_ptr<arrow::Schema> schema;
  std::string error;
  while (ZVArrowBatchPtr carrier = zv_next_batch(query.get(), &error)) {
    if (!schema) schema = carrier->schema;
    if (carrier->batch && carrier->batch->num_rows() > 0) batches.push_back(carrier->batch);
  }
  if (!error.empty()) return QueryFailure(query.get());
  if (!schema) {
    return ClassifiedFailure(FailureKind::kIo, "information_schema." + std::string(relation) +
                                                " came back from compute without a schema");
  }
  ARROW_ASSIGN_OR_RAISE(auto table, arrow::Table::FromRecordBatches(schema, batches));
  return table->CombineChunksToBatch();
}

arrow::Result<ObjectsSources> ObjectsSourcesFromCompute(const ComputeCatalogCall& call,
                                                        ObjectsDepth depth) {
  ObjectsSources sources;
  ARROW_ASSIGN_OR_RAISE(sources.tables, ReadRelationFromCompute(call, "tables"));
  if (depth != ObjectsDepth::kAll) return sources;
  ARROW_ASSIGN_OR_RAISE(sources.columns, ReadRelationFromCompute(call, "columns"));
  ARROW_ASSIGN_OR_RAISE(sources.key_column_usage,
                        ReadRelationFromCompute(call, "key_column_usage"));
  ARROW_ASSIGN_OR_RAISE(sources.table_constraints,
                        ReadRelationFromCompute(call, "table_constraints"));
  ARROW_ASSIGN_OR_RAISE(sources.referential_constraints,
                        ReadRelationFromCompute(call, "referential_constraints"));
  return sources;
}

}  // namespace zv
