// AdbcConnectionGetObjects: the catalog tree served from the snapshot.

#include <string>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "driver/adbc_status.h"
#include "catalog/catalog_from_compute.h"
#include "catalog/catalog_info.h"
#include "driver/connection.h"
#include "driver/handle_record.h"
#include "catalog/objects_batch.h"
#include "catalog/objects_tree.h"
#include "driver/catalog_freshness.h"
#include "snapshot/snapshot_store.h"

namespace zv {

namespace {

// Filter texts come from the host and are scrubbed like any free text.
std::string Shown(const char* text) { return text ? zv_redact(text) : std::string(); }

// Each slot reference is copied under the store's shared lock on its own;
// the batches are immutable, so the rest of the call needs no lock and a
// snapshot replaced meanwhile does not disturb it.
ObjectsSources SourcesOf(const ZVSnapshotStore* store) {
  constexpr int kCatalogsSlot = 0, kSchemataSlot = 1, kTablesSlot = 2, kColumnsSlot = 3,
                kKeyColumnUsageSlot = 5, kTableConstraintsSlot = 7, kReferentialConstraintsSlot = 8;
  ObjectsSources sources;
  if (store == nullptr) return sources;
  sources.catalogs = store->slot(kCatalogsSlot);
  sources.schemata = store->slot(kSchemataSlot);
  sources.tables = store->slot(kTablesSlot);
  sources.columns = store->slot(kColumnsSlot);
  sources.key_column_usage = store->slot(kKeyColumnUsageSlot);
  sources.table_constraints = store->slot(kTableConstraintsSlot);
  sources.referential_constraints = store->slot(kReferentialConstraintsSlot);
  return sources;
}

}  // namespace

AdbcStatusCode ConnectionGetObjects(AdbcConnection* connection, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_type, const char* column_name,
                                    ArrowArrayStream* out, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetObjects", error, [&]() -> arrow::Status {
    if (LogEnabled(kLogInfo)) {
      zv_log_write(kLogInfo, "api",
                   "AdbcConnectionGetObjects(conn=%p, depth=%d, catalog=\"%s\", "
                   "db_schema=\"%s\", table_name=\"%s\", column_name=\"%s\")",
                   static_cast<void*>(connection), depth, Shown(catalog).c_str(),
                   Shown(db_schema).c_str(), Shown(table_name).c_str(), Shown(column_name).c_str());
    }
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetObjects: null connection or stream");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError("AdbcConnectionGetObjects: connection not initialised");
    }
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    // Without a current snapshot the same relations come from compute: an
    // empty or stale answer would claim what is not so.
    ARROW_ASSIGN_OR_RAISE(const bool from_snapshot, ConfirmCatalog(*conn));
    ObjectsSources sources;
    if (from_snapshot) {
      sources = SourcesOf(conn->snapshot_store.get());
    } else {
      ARROW_ASSIGN_OR_RAISE(
          sources,
          ObjectsSourcesFromCompute({conn->transport, conn->query_timeout_sec, conn->cancel_scope},
                                    ClassifyDepth(depth)));
    }
    ObjectsFilter filter;
    filter.depth = depth;
    filter.catalog = catalog;
    filter.db_schema = db_schema;
    filter.table_name = table_name;
    filter.table_types = table_type;
    filter.column_name = column_name;
    const auto catalogs = CollectObjects(sources, filter);
    if (!catalogs) {
      ARROW_ASSIGN_OR_RAISE(auto empty, BuildEmptyObjectsBatch());
      return ExportSingleBatch(std::move(empty), out);
    }
    ARROW_ASSIGN_OR_RAISE(auto batch, BuildObjectsBatch(*catalogs, ClassifyDepth(depth)));
    if (LogEnabled(kLogDebug)) {
      zv_log_write(kLogDebug, "meta_engine",
                   "GetObjects served from %s (depth=%d, catalog=\"%s\", "
                   "db_schema=\"%s\", table_name=\"%s\", catalogs=%lld)",
                   from_snapshot ? "snapshot" : "compute", depth, Shown(catalog).c_str(),
                   Shown(db_schema).c_str(), Shown(table_name).c_str(),
                   static_cast<long long>(batch->num_rows()));
    }
    return ExportSingleBatch(std::move(batch), out);
  });
}

}  // namespace zv
