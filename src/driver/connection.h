#pragma once

#include <adbc.h>

#include <cstdint>
#include <memory>

#include "driver/catalog_freshness.h"
#include "driver/handle_record.h"
#include "driver/option_table.h"
#include "metadata_engine/metadata_engine.h"
#include "snapshot/snapshot_store.h"
#include "stream/cancel_scope.h"

namespace zv {

struct ZVDatabase;
struct zv_conn;

// The record behind an AdbcConnection, shared with its statements. Release
// drops the transport, the snapshot and the engine, so statements that
// outlive the handle find a connection that is no longer initialised.
struct ZVConnection : SharedRecord<ZVConnection> {
  ParentRecord<ZVDatabase, AdbcDatabase> database;  // set at Init
  std::shared_ptr<zv_conn> transport;               // non-null exactly when initialised
  // The catalog snapshot (empty slots when it could not be fetched) and the
  // engine that answers information_schema queries from it; both are
  // replaced whole when the catalog moves (see catalog_freshness.h).
  std::shared_ptr<ZVSnapshotStore> snapshot_store;
  std::unique_ptr<zv_sql::MetadataEngine> engine;
  // How old the snapshot's last confirmation may be when it answers.
  uint32_t catalog_max_age_sec = kDefaultCatalogMaxAgeSec;
  // When (monotonic ns) a statement of this connection first may have changed
  // the catalog since the last confirmation; 0 when none did.
  int64_t catalog_changed_at_ns = 0;
  // The catalog moved and no newer snapshot could be had yet: compute answers.
  bool snapshot_behind = false;
  // The last version check failed (said once until one succeeds).
  bool catalog_check_failing = false;
  // When the snapshot could not be had, the earliest time (monotonic ns) of
  // the next attempt, so a failing endpoint is not asked on every call.
  int64_t next_snapshot_attempt_ns = 0;
  uint32_t batch_size_hint = 0;
  uint32_t query_timeout_sec = 0;  // 0: no limit
  // Statements that cannot be shown to read, and ingests, are refused
  // before anything is sent (statement_read_only.h).
  bool read_only = false;
  // Every query of the connection, for AdbcConnectionCancel.
  std::shared_ptr<CancelScope> cancel_scope = std::make_shared<CancelScope>();
};

AdbcStatusCode ConnectionNew(AdbcConnection* connection, AdbcError* error);
AdbcStatusCode ConnectionSetOption(AdbcConnection* connection, const char* key, const char* value,
                                   AdbcError* error);
AdbcStatusCode ConnectionInit(AdbcConnection* connection, AdbcDatabase* database, AdbcError* error);
AdbcStatusCode ConnectionRelease(AdbcConnection* connection, AdbcError* error);

// Transactions: autocommit is always on, so both report that none is open.
AdbcStatusCode ConnectionCommit(AdbcConnection* connection, AdbcError* error);
AdbcStatusCode ConnectionRollback(AdbcConnection* connection, AdbcError* error);

// Catalog calls.
AdbcStatusCode ConnectionGetInfo(AdbcConnection* connection, const uint32_t* info_codes,
                                 size_t info_codes_length, ArrowArrayStream* out, AdbcError* error);
// GetInfo of a host that loaded the driver as ADBC 1.1: reports 1.1.0.
AdbcStatusCode ConnectionGetInfoOneOne(AdbcConnection* connection, const uint32_t* info_codes,
                                       size_t info_codes_length, ArrowArrayStream* out,
                                       AdbcError* error);
AdbcStatusCode ConnectionGetTableTypes(AdbcConnection* connection, ArrowArrayStream* out,
                                       AdbcError* error);
AdbcStatusCode ConnectionGetObjects(AdbcConnection* connection, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_type, const char* column_name,
                                    ArrowArrayStream* out, AdbcError* error);
AdbcStatusCode ConnectionGetTableSchema(AdbcConnection* connection, const char* catalog,
                                        const char* db_schema, const char* table_name,
                                        ArrowSchema* schema, AdbcError* error);

// Installs the catalog snapshot (from the process cache or fetched) and
// registers it with the engine. On failure the store stays empty and the
// reason is returned; the connection stays usable.
arrow::Status InstallConnectionSnapshot(ZVConnection& conn);

AdbcStatusCode ConnectionCancel(AdbcConnection* connection, AdbcError* error);

// Every option a connection takes or reads back (connection_options.cc),
// including the session's current catalog and schema, asked of compute.
OptionTable<ZVConnection> ConnectionOptions();

// True when the connection handle holds an initialised connection.
bool IsConnectionInitialised(AdbcConnection* connection);
bool IsConnectionInitialised(const ZVConnection* conn);

}  // namespace zv
