// AdbcConnectionGetTableSchema: a table's Arrow schema from the snapshot,
// with a LIMIT 0 query on compute when the snapshot does not know the table.

#include <arrow/c/bridge.h>
#include <arrow/type.h>

#include "diagnostics/log.h"
#include "diagnostics/sql_trace.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/handle_record.h"
#include "stream/query_failure.h"
#include "driver/catalog_freshness.h"
#include "catalog/table_schema_snapshot.h"
#include "snapshot/snapshot_store.h"
#include "stream/query_worker.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr int kColumnsSlot = 3;  // information_schema.columns
constexpr size_t kArrowMessageBuffer = 256;

const char* OrEmpty(const char* text) { return text ? text : ""; }
bool Given(const char* text) { return text != nullptr && text[0] != '\0'; }

std::string QuotedIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

arrow::Status ExportTableSchema(const arrow::Schema& schema, ArrowSchema* out) {
  arrow::Status st = arrow::ExportSchema(schema, out);
  if (!st.ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                       Bounded("arrow::ExportSchema failed: " + st.ToString(), kArrowMessageBuffer));
  }
  return arrow::Status::OK();
}

// Asks compute for the schema of an empty result of the table.
arrow::Status SchemaFromCompute(ZVConnection& conn, const char* catalog, const char* db_schema,
                                const char* table_name, const std::string& reason, ArrowSchema* out) {
  ZV_LOG(kLogDebug, "meta_engine", "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=%s)",
         OrEmpty(catalog), OrEmpty(db_schema), table_name, reason.c_str());
  std::string sql = "SELECT * FROM ";
  if (Given(catalog)) sql += QuotedIdentifier(catalog) + ".";
  if (Given(db_schema)) sql += QuotedIdentifier(db_schema) + ".";
  sql += QuotedIdentifier(table_name) + " LIMIT 0";

  ScopedTraceLabel label("AdbcConnectionGetTableSchema(LIMIT 0 fallback)");
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        StartCancellableQuery(conn.transport, sql, 0, conn.query_timeout_sec,
                                              {conn.cancel_scope}));
  std::string error;
  ZVArrowBatchPtr first = zv_next_batch(query.get(), &error);
  if (!first) {
    // A table the service does not know is NOT_FOUND (42S02), like any query of it.
    if (!query->ErrorText().empty()) return QueryFailure(query.get());
    return ClassifiedFailure(FailureKind::kNotFound,
                            error.empty() ? "table not found or query produced no schema" : error);
  }
  if (!first->schema) {
    return Failure(FailureKind::kInternal, "HY000",
                       "AdbcConnectionGetTableSchema: engine returned a batch without a schema");
  }
  // The rest of the result is not read: closing the query ends the transfer.
  return ExportTableSchema(*first->schema, out);
}

}  // namespace

AdbcStatusCode ConnectionGetTableSchema(AdbcConnection* connection, const char* catalog,
                                        const char* db_schema, const char* table_name,
                                        ArrowSchema* schema, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetTableSchema", error, [&]() -> arrow::Status {
    if (connection == nullptr || schema == nullptr) {
      return NullArgument("AdbcConnectionGetTableSchema: null connection or output schema");
    }
    if (table_name == nullptr || table_name[0] == '\0') {
      return NullArgument("AdbcConnectionGetTableSchema: table_name is required");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError(
          "AdbcConnectionGetTableSchema: connection not initialised (call AdbcConnectionInit "
          "first)");
    }
    ZV_LOG(kLogInfo, "api",
           "AdbcConnectionGetTableSchema(conn=%p, catalog=\"%s\", db_schema=\"%s\", "
           "table_name=\"%s\")",
           static_cast<void*>(connection), OrEmpty(catalog), OrEmpty(db_schema), table_name);
    ZVConnection& conn = *RecordOf<ZVConnection>(connection);
    // Without a current snapshot, compute answers below.
    ARROW_ASSIGN_OR_RAISE(const bool current, ConfirmCatalog(conn));
    std::shared_ptr<arrow::RecordBatch> columns =
        current ? conn.snapshot_store->slot(kColumnsSlot) : nullptr;
    if (!columns || columns->num_rows() == 0) {
      return SchemaFromCompute(conn, catalog, db_schema, table_name, "snapshot did not carry columns for this table",
                               schema);
    }
    CatalogTableSchema found = SchemaFromCatalogColumns(*columns, catalog, db_schema, table_name);
    if (!found.schema) return SchemaFromCompute(conn, catalog, db_schema, table_name, found.reason, schema);
    ARROW_RETURN_NOT_OK(ExportTableSchema(*found.schema, schema));
    ZV_LOG(kLogDebug, "meta_engine", "GetTableSchema served from snapshot for \"%s\".\"%s\".\"%s\" (columns=%zu)",
           OrEmpty(catalog), OrEmpty(db_schema), table_name, static_cast<size_t>(found.schema->num_fields()));
    return arrow::Status::OK();
  });
}

}  // namespace zv
