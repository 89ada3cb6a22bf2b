// AdbcConnectionGetTableSchema: a table's Arrow schema from the snapshot,
// with a LIMIT 0 query on compute when the snapshot cannot tell its types.

#include <arrow/c/bridge.h>
#include <arrow/type.h>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/handle_record.h"
#include "catalog/catalog_from_compute.h"
#include "driver/catalog_freshness.h"
#include "catalog/table_schema_snapshot.h"
#include "snapshot/snapshot_store.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr int kColumnsSlot = 3;  // information_schema.columns
constexpr size_t kArrowMessageBuffer = 256;

const char* OrEmpty(const char* text) { return text ? text : ""; }

arrow::Status ExportTableSchema(const arrow::Schema& schema, ArrowSchema* out) {
  arrow::Status st = arrow::ExportSchema(schema, out);
  if (!st.ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                   Bounded("arrow::ExportSchema failed: " + st.ToString(), kArrowMessageBuffer));
  }
  return arrow::Status::OK();
}

// Asks compute for the schema of an empty result of the table: by the names
// the snapshot resolved when it knows the table (its nullability then comes
// from the catalog too), else by the names as the host gave them.
arrow::Status SchemaFromCompute(ZVConnection& conn, const char* catalog, const char* db_schema,
                                const char* table_name, const CatalogTableSchema& found,
                                ArrowSchema* out) {
  ZV_LOG(kLogDebug, "meta_engine",
         "GetTableSchema routing to compute for \"%s\".\"%s\".\"%s\" (reason=%s)", OrEmpty(catalog),
         OrEmpty(db_schema), table_name, found.reason.c_str());
  const CatalogTableName name =
      found.table ? found.table->name
                  : CatalogTableName{OrEmpty(catalog), OrEmpty(db_schema), table_name};
  ARROW_ASSIGN_OR_RAISE(
      auto schema,
      TableSchemaFromCompute({conn.transport, conn.query_timeout_sec, conn.cancel_scope}, name));
  if (found.table) schema = WithCatalogNullability(schema, *found.table);
  return ExportTableSchema(*schema, out);
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
      return SchemaFromCompute(
          conn, catalog, db_schema, table_name,
          {std::nullopt, nullptr, "snapshot did not carry columns for this table"}, schema);
    }
    const CatalogTableSchema found =
        SchemaFromCatalogColumns(*columns, catalog, db_schema, table_name);
    if (!found.schema)
      return SchemaFromCompute(conn, catalog, db_schema, table_name, found, schema);
    ARROW_RETURN_NOT_OK(ExportTableSchema(*found.schema, schema));
    ZV_LOG(kLogDebug, "meta_engine",
           "GetTableSchema served from snapshot for \"%s\".\"%s\".\"%s\" (columns=%zu)",
           OrEmpty(catalog), OrEmpty(db_schema), table_name,
           static_cast<size_t>(found.schema->num_fields()));
    return arrow::Status::OK();
  });
}

}  // namespace zv
