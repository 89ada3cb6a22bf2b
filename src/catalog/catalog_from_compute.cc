#include "catalog/catalog_from_compute.h"

#include <arrow/table.h>

#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/sql_trace.h"
#include "util/failure.h"
#include "util/sql_identifier.h"
#include "stream/query_failure.h"
#include "stream/query_worker.h"

namespace zv {

std::string LimitZeroQuery(const CatalogTableName& table) {
  std::string sql = "SELECT * FROM ";
  if (!table.catalog.empty()) sql += QuoteIdentifier(table.catalog) + ".";
  if (!table.schema.empty()) sql += QuoteIdentifier(table.schema) + ".";
  return sql + QuoteIdentifier(table.name) + " LIMIT 0";
}

arrow::Result<std::shared_ptr<arrow::Schema>> TableSchemaFromCompute(
    const ComputeCatalogCall& call, const CatalogTableName& table) {
  ScopedTraceLabel label("AdbcConnectionGetTableSchema(LIMIT 0 fallback)");
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        StartQuery(call.transport, {.sql = LimitZeroQuery(table),
                                                    .timeout_sec = call.timeout_sec,
                                                    .cancel_scopes = {call.cancel}}));
  std::string error;
  ZVArrowBatchPtr first = zv_next_batch(query.get(), &error);
  if (!first) {
    // A table the service does not know is NOT_FOUND (42S02), like any query of it.
    if (!query->ErrorText().empty()) return QueryFailure(query.get());
    return Failure(FailureKind::kNotFound, "42S02",
                   error.empty() ? "table not found or query produced no schema" : error);
  }
  // The worker handles frames in order, so by the time any carrier reached
  // us the query holds the first schema declared: INIT's before any batch's.
  // The carrier itself may be either, depending on which the consumer woke to.
  std::shared_ptr<arrow::Schema> schema = query->KnownSchema();
  if (!schema) schema = first->schema;
  if (!schema) {
    return Failure(FailureKind::kInternal, "HY000",
                   "AdbcConnectionGetTableSchema: engine returned a batch without a schema");
  }
  // The rest of the result is not read: closing the query ends the transfer.
  return schema;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> ReadRelationFromCompute(
    const ComputeCatalogCall& call, std::string_view relation) {
  const std::string sql = "SELECT * FROM information_schema." + std::string(relation);
  ScopedTraceLabel label("catalog call without a snapshot");
  ARROW_ASSIGN_OR_RAISE(
      ZVQueryPtr query,
      StartQuery(call.transport,
                 {.sql = sql, .timeout_sec = call.timeout_sec, .cancel_scopes = {call.cancel}}));
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  std::shared_ptr<arrow::Schema> schema;
  std::string error;
  while (ZVArrowBatchPtr carrier = zv_next_batch(query.get(), &error)) {
    if (!schema) schema = carrier->schema;
    if (carrier->batch && carrier->batch->num_rows() > 0) batches.push_back(carrier->batch);
  }
  if (!error.empty()) return QueryFailure(query.get());
  if (!schema) {
    return Failure(
        FailureKind::kIo, "HY000",
        "information_schema." + std::string(relation) + " came back from compute without a schema");
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
