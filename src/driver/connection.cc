#include "driver/connection.h"

#include <arrow/array.h>

#include <optional>
#include <string>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "stream/query_failure.h"
#include "driver/catalog_freshness.h"
#include "catalog/catalog_info.h"
#include "driver/database.h"
#include "driver/handle_record.h"
#include "driver/option_access.h"
#include "driver/option_values.h"
#include "driver/tls_options.h"
#include "platform/credential_store.h"
#include "snapshot/info_schema_registration.h"
#include "snapshot/snapshot_install.h"
#include "stream/query_worker.h"
#include "transport/transport_connection.h"

namespace zv {

namespace {

// The key ADBC 1.0 documents for read-only connections; an alias of
// ADBC_CONNECTION_OPTION_READ_ONLY, readable under both names.
constexpr const char* kReadOnlyAlias = "adbc.connection.read_only";

// Applies one connection option; nothing when `key` names none.
std::optional<arrow::Status> ApplyOption(ZVConnection& conn, const std::string& key,
                                         const char* value) {
  if (key == ADBC_CONNECTION_OPTION_AUTOCOMMIT) {
    auto parsed = ParseBooleanText(value);
    if (!parsed) return InvalidOptionValue("adbc.connection.autocommit must be true or false");
    if (!*parsed) {
      return Failure(FailureKind::kNotImplemented, "0A000",
                     "Zorvane does not yet support explicit transactions; autocommit is "
                     "always true");
    }
  } else if (key == ADBC_CONNECTION_OPTION_READ_ONLY || key == kReadOnlyAlias) {
    auto parsed = ParseBooleanText(value);
    if (!parsed) return InvalidOptionValue(key + " must be true or false");
    conn.read_only = *parsed;
  } else if (key == "adbc.zorvane.batch_size_hint") {
    auto parsed = ParseConnectionInteger(value);
    if (!parsed) {
      return InvalidOptionValue("adbc.zorvane.batch_size_hint must be a non-negative integer");
    }
    conn.batch_size_hint = *parsed;
  } else if (key == "adbc.zorvane.query_timeout_sec") {
    auto parsed = ParseConnectionInteger(value);
    if (!parsed) {
      return InvalidOptionValue("adbc.zorvane.query_timeout_sec must be a non-negative integer");
    }
    conn.query_timeout_sec = *parsed;
  } else if (key == "adbc.zorvane.catalog_max_age_sec") {
    auto parsed = ParseConnectionInteger(value);
    if (!parsed) {
      return InvalidOptionValue("adbc.zorvane.catalog_max_age_sec must be a non-negative integer");
    }
    conn.catalog_max_age_sec = *parsed;
  } else if (key == ADBC_CONNECTION_OPTION_CURRENT_CATALOG ||
             key == ADBC_CONNECTION_OPTION_CURRENT_DB_SCHEMA) {
    // Readable, but every query is a session of its own on compute: there is
    // no session whose current catalog or schema could be switched.
    return UnknownOptionKey(key +
                            " cannot be set: each query runs in a session of its own; "
                            "qualify names with their catalog and schema instead");
  } else {
    return std::nullopt;
  }
  return arrow::Status::OK();
}

// A secret from the user's credential store; missing, unreadable and empty
// entries all count as not found.
SecretString ReadStoredSecret(const std::string& target, const std::string& name) {
  SecretString secret;
  if (ReadCredential(target.c_str(), name.c_str(), &secret) != CredstoreResult::kFound ||
      secret.empty()) {
    return SecretString();
  }
  return secret;
}

struct Credentials {
  SecretString password;
  SecretString session_token;
};

// Options first; the credential store only for what the options lack, and a
// stored token only when no password was found either way.
Credentials ResolveCredentials(const ZVDatabase& db) {
  Credentials creds;
  const std::string uri = db.uri.value_or("");
  const bool has_user = db.username.has_value();
  if (!db.password.empty()) {
    creds.password = db.password.Copy();
  } else if (has_user && !uri.empty()) {
    creds.password = ReadStoredSecret(uri, "Pwd:" + *db.username);
  }
  if (!db.session_token.empty()) {
    creds.session_token = db.session_token.Copy();
  } else if (!creds.password.has_value() && !uri.empty()) {
    creds.session_token =
        ReadStoredSecret(uri, "Token:" + (has_user ? *db.username : std::string("default")));
  }
  return creds;
}

zv_conn_options ConnOptionsFromDatabase(const ZVDatabase& db) {
  zv_conn_options options;
  options.connect_timeout_sec = db.connect_timeout_sec;
  options.application_name = db.application_name.value_or("");
  options.proxy_url = db.proxy_url.value_or("");
  options.proxy_user = db.proxy_user.value_or("");
  options.proxy_pass = db.proxy_pass.Copy();
  options.max_stream_buffer_mb = db.max_stream_buffer_mb;
  return options;
}

}  // namespace

bool IsConnectionInitialised(const ZVConnection* conn) {
  return conn != nullptr && conn->transport != nullptr;
}

bool IsConnectionInitialised(AdbcConnection* connection) {
  return IsConnectionInitialised(RecordOf<ZVConnection>(connection));
}

AdbcStatusCode ConnectionNew(AdbcConnection* connection, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionNew", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionNew(conn=%p)", static_cast<void*>(connection));
    if (connection == nullptr) {
      return NullArgument("AdbcConnectionNew: connection pointer is null");
    }
    if (connection->private_data != nullptr) {
      return SequenceError("AdbcConnectionNew called twice without Release");
    }
    SharedRecord<ZVConnection>::Attach(connection, std::make_shared<ZVConnection>());
    return arrow::Status::OK();
  });
}

AdbcStatusCode ConnectionSetOption(AdbcConnection* connection, const char* key, const char* value,
                                   AdbcError* error) {
  return RunEntryPoint("AdbcConnectionSetOption", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionSetOption(conn=%p, key=\"%s\", value=%s)",
           static_cast<void*>(connection), key ? key : "(null)", LoggedOptionValue(key, value));
    if (connection == nullptr || key == nullptr) {
      return NullArgument("AdbcConnectionSetOption: null connection or key");
    }
    // An unknown key is NOT_IMPLEMENTED in every state: a released handle's
    // key is tried on a record of its own, only to tell which failure it is.
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    ZVConnection released;
    std::optional<arrow::Status> applied = ApplyOption(conn ? *conn : released, key, value);
    if (!applied) return UnknownOptionKey(std::string("unknown connection option key: ") + key);
    if (conn == nullptr) {
      return SequenceError("AdbcConnectionSetOption: connection not allocated");
    }
    return *applied;
  });
}

AdbcStatusCode ConnectionInit(AdbcConnection* connection, AdbcDatabase* database,
                              AdbcError* error) {
  return RunEntryPoint("AdbcConnectionInit", error, [&]() -> arrow::Status {
    if (connection == nullptr || database == nullptr) {
      return NullArgument("AdbcConnectionInit: null connection or database");
    }
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    if (conn == nullptr) return SequenceError("AdbcConnectionInit: connection not allocated");
    if (conn->transport) return SequenceError("AdbcConnectionInit called twice");
    ZVDatabase* db = RecordOf<ZVDatabase>(database);
    if (db == nullptr || !db->initialised) {
      return SequenceError(
          "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call "
          "AdbcDatabaseInit first)");
    }
    conn->database = database;
    ZV_LOG(kLogInfo, "api", "AdbcConnectionInit(conn=%p, db=%p, uri=\"%s\")",
           static_cast<void*>(connection), static_cast<void*>(database),
           OptionText(db->uri, "(null)"));
    const char* uri = OptionText(db->uri, "");
    const zv_tls_config tls = TlsConfigFromDatabase(*db);
    arrow::Status tls_ok = zv_tls_validate(&tls, uri);
    if (!tls_ok.ok()) {
      return Failure(FailureKind::kIo, "08001", "TLS configuration invalid: " + tls_ok.message());
    }
    const zv_conn_options options = ConnOptionsFromDatabase(*db);
    const Credentials creds = ResolveCredentials(*db);

    ConnectRequest request;
    request.control_plane_url = uri;
    request.compute_url = OptionText(db->compute_url);
    request.compute_node = OptionText(db->compute_node);
    request.session_token = creds.session_token.c_str();
    request.username = OptionText(db->username);
    request.password = creds.password.c_str();
    request.tls = &tls;
    request.options = &options;
    auto transport = zv_connect(request);
    if (!transport.ok()) {
      return AsFailureOf(FailureKind::kIo, transport.status());
    }
    conn->transport = std::move(*transport);
    // The local catalog: a snapshot that cannot be had leaves empty slots (the
    // reason is logged) and never fails the connection; catalog calls then
    // ask compute and try the snapshot again later.
    conn->snapshot_store = std::make_shared<ZVSnapshotStore>();
    conn->engine = std::make_unique<zv_sql::MetadataEngine>();
    (void)TrySnapshot(*conn);
    return arrow::Status::OK();
  });
}

arrow::Status InstallConnectionSnapshot(ZVConnection& conn) {
  const ZVDatabase& db = *conn.database;
  arrow::Status installed = zv_snapshot_install(conn.transport.get(), conn.snapshot_store.get(),
                                                OptionText(db.uri, ""), OptionText(db.username));
  zv_register_info_schema(conn.snapshot_store.get(), &conn.engine->registry());
  return installed;
}

AdbcStatusCode ConnectionRelease(AdbcConnection* connection, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionRelease", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionRelease(conn=%p)", static_cast<void*>(connection));
    std::shared_ptr<ZVConnection> conn = SharedRecord<ZVConnection>::Detach(connection);
    if (conn == nullptr) return arrow::Status::OK();
    // Statements the host has not released yet keep the record; without a
    // transport it reads as not initialised to them.
    conn->engine.reset();
    conn->snapshot_store.reset();
    zv_disconnect(std::move(conn->transport));
    return arrow::Status::OK();
  });
}

namespace {

// The session's current catalog and schema as compute sees them; each query
// is a session of its own there, so they are asked for, never cached.
arrow::Result<std::string> CurrentSessionName(ZVConnection& conn, bool catalog) {
  if (!conn.transport)
    return OptionNotSet(catalog ? "adbc.connection.catalog" : "adbc.connection.db_schema");
  const char* sql =
      catalog ? "SELECT current_database() AS name" : "SELECT current_schema() AS name";
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        StartQuery(conn.transport, {.sql = sql,
                                                    .timeout_sec = conn.query_timeout_sec,
                                                    .cancel_scopes = {conn.cancel_scope}}));
  std::string error;
  std::string name;
  while (ZVArrowBatchPtr carrier = zv_next_batch(query.get(), &error)) {
    if (!carrier->batch || carrier->batch->num_rows() == 0) continue;
    auto column = std::dynamic_pointer_cast<arrow::StringArray>(carrier->batch->column(0));
    if (column && column->IsValid(0)) name = column->GetString(0);
  }
  if (!error.empty()) return QueryFailure(query.get());
  if (name.empty())
    return OptionNotSet(catalog ? "adbc.connection.catalog" : "adbc.connection.db_schema");
  return name;
}

}  // namespace

arrow::Result<std::string> ConnectionOptionValue(ZVConnection& conn, const std::string& key) {
  if (key == ADBC_CONNECTION_OPTION_AUTOCOMMIT) return std::string(ADBC_OPTION_VALUE_ENABLED);
  if (key == ADBC_CONNECTION_OPTION_READ_ONLY || key == kReadOnlyAlias) {
    return std::string(conn.read_only ? ADBC_OPTION_VALUE_ENABLED : ADBC_OPTION_VALUE_DISABLED);
  }
  if (key == "adbc.zorvane.batch_size_hint") return std::to_string(conn.batch_size_hint);
  if (key == "adbc.zorvane.query_timeout_sec") return std::to_string(conn.query_timeout_sec);
  if (key == "adbc.zorvane.catalog_max_age_sec") return std::to_string(conn.catalog_max_age_sec);
  if (key == ADBC_CONNECTION_OPTION_CURRENT_CATALOG) return CurrentSessionName(conn, true);
  if (key == ADBC_CONNECTION_OPTION_CURRENT_DB_SCHEMA) return CurrentSessionName(conn, false);
  return OptionNotSet(key);
}

AdbcStatusCode ConnectionCancel(AdbcConnection* connection, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionCancel", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionCancel(conn=%p)", static_cast<void*>(connection));
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    if (conn == nullptr) return SequenceError("AdbcConnectionCancel: connection not allocated");
    conn->cancel_scope->CancelAll();
    return arrow::Status::OK();
  });
}

namespace {

AdbcStatusCode GetInfo(AdbcConnection* connection, const uint32_t* info_codes,
                       size_t info_codes_length, ArrowArrayStream* out, AdbcError* error,
                       int adbc_version) {
  return RunEntryPoint("AdbcConnectionGetInfo", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionGetInfo(conn=%p, codes=%p, length=%zu)",
           static_cast<void*>(connection), static_cast<const void*>(info_codes), info_codes_length);
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetInfo: null connection or stream");
    }
    ARROW_ASSIGN_OR_RAISE(auto batch, BuildInfoBatch(info_codes, info_codes_length, adbc_version));
    ZV_LOG(kLogDebug, "meta_engine", "GetInfo served from snapshot (rows=%lld)",
           static_cast<long long>(batch->num_rows()));
    return ExportSingleBatch(std::move(batch), out);
  });
}

}  // namespace

AdbcStatusCode ConnectionGetInfo(AdbcConnection* connection, const uint32_t* info_codes,
                                 size_t info_codes_length, ArrowArrayStream* out,
                                 AdbcError* error) {
  return GetInfo(connection, info_codes, info_codes_length, out, error, ADBC_VERSION_1_0_0);
}

AdbcStatusCode ConnectionGetInfoOneOne(AdbcConnection* connection, const uint32_t* info_codes,
                                       size_t info_codes_length, ArrowArrayStream* out,
                                       AdbcError* error) {
  return GetInfo(connection, info_codes, info_codes_length, out, error, ADBC_VERSION_1_1_0);
}

AdbcStatusCode ConnectionGetTableTypes(AdbcConnection* connection, ArrowArrayStream* out,
                                       AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetTableTypes", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionGetTableTypes(conn=%p)", static_cast<void*>(connection));
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetTableTypes: null connection or stream");
    }
    ARROW_ASSIGN_OR_RAISE(auto batch, BuildTableTypesBatch());
    ZV_LOG(kLogDebug, "meta_engine", "GetTableTypes served from snapshot (rows=%lld)",
           static_cast<long long>(batch->num_rows()));
    return ExportSingleBatch(std::move(batch), out);
  });
}

}  // namespace zv
