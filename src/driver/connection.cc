#include "driver/connection.h"

#include <optional>
#include <string>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/catalog_freshness.h"
#include "catalog/catalog_info.h"
#include "driver/database.h"
#include "driver/handle_record.h"
#include "driver/option_table.h"
#include "driver/tls_options.h"
#include "platform/credential_store.h"
#include "snapshot/info_schema_registration.h"
#include "snapshot/snapshot_install.h"
#include "transport/transport_connection.h"

namespace zv {

namespace {

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
    const OptionDescriptor<ZVConnection>* row =
        key ? FindOption(ConnectionOptions(), key) : nullptr;
    ZV_LOG(kLogInfo, "api", "AdbcConnectionSetOption(conn=%p, key=\"%s\", value=%s)",
           static_cast<void*>(connection), key ? key : "(null)", LoggedOptionValue(row, value));
    if (connection == nullptr || key == nullptr) {
      return NullArgument("AdbcConnectionSetOption: null connection or key");
    }
    // An unknown key is NOT_IMPLEMENTED in every state, a released handle's
    // too; a known one is refused when the handle cannot take it.
    if (row == nullptr || !row->settable()) {
      return UnknownOptionKey(std::string("unknown connection option key: ") + key);
    }
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    if (conn == nullptr) {
      return SequenceError("AdbcConnectionSetOption: connection not allocated");
    }
    if (IsConnectionInitialised(conn) && !row->after_init) {
      return SequenceError("AdbcConnectionSetOption: " + std::string(key) +
                           " cannot be set once the connection is initialised");
    }
    return StoreOption(*row, *conn, value);
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
    request.share = db->connection_pool;
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
