#include "driver/connection.h"

#include <string>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/database.h"
#include "driver/handle_record.h"
#include "driver/option_values.h"

namespace zv {

namespace {

arrow::Status ApplyOption(ZVConnection& conn, const std::string& key, const char* value) {
  if (key == "adbc.connection.autocommit") {
    auto parsed = ParseBooleanText(value);
    if (!parsed) return InvalidOptionValue("adbc.connection.autocommit must be true or false");
    if (!*parsed) {
      return AdbcFailure(ADBC_STATUS_NOT_IMPLEMENTED, "0A000",
                         "Zorvane does not yet support explicit transactions; autocommit is "
                         "always true");
    }
  } else if (key == "adbc.connection.read_only") {
    if (!ParseBooleanText(value)) {
      return InvalidOptionValue("adbc.connection.read_only must be true or false");
    }
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
  } else {
    return UnknownOptionKey("unknown connection option key: " + key);
  }
  return arrow::Status::OK();
}

}  // namespace

bool IsConnectionInitialised(AdbcConnection* connection) {
  ZVConnection* conn = RecordOf<ZVConnection>(connection);
  return conn != nullptr && conn->connected;
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
    AttachRecord(connection, std::make_unique<ZVConnection>());
    return arrow::Status::OK();
  });
}

AdbcStatusCode ConnectionSetOption(AdbcConnection* connection, const char* key,
                                   const char* value, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionSetOption", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionSetOption(conn=%p, key=\"%s\", value=%s)",
           static_cast<void*>(connection), key ? key : "(null)",
           LoggedOptionValue(key, value));
    if (connection == nullptr || key == nullptr) {
      return NullArgument("AdbcConnectionSetOption: null connection or key");
    }
    ZVConnection* conn = RecordOf<ZVConnection>(connection);
    if (conn == nullptr) {
      return SequenceError("AdbcConnectionSetOption: connection not allocated");
    }
    return ApplyOption(*conn, key, value);
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
    if (conn->connected) return SequenceError("AdbcConnectionInit called twice");
    ZVDatabase* db = RecordOf<ZVDatabase>(database);
    if (db == nullptr || !db->initialised) {
      return SequenceError(
          "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call "
          "AdbcDatabaseInit first)");
    }
    conn->database = db;
    ZV_LOG(kLogInfo, "api", "AdbcConnectionInit(conn=%p, db=%p, uri=\"%s\")",
           static_cast<void*>(connection), static_cast<void*>(database),
           OptionText(db->uri, "(null)"));
    return TransportFailure(ADBC_STATUS_IO,
                            "AdbcConnectionInit: this build cannot reach the Zorvane service "
                            "yet (transport not available)");
  });
}

AdbcStatusCode ConnectionRelease(AdbcConnection* connection, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionRelease", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcConnectionRelease(conn=%p)", static_cast<void*>(connection));
    if (RecordOf<ZVConnection>(connection) == nullptr) return arrow::Status::OK();
    DetachRecord<ZVConnection>(connection);
    return arrow::Status::OK();
  });
}

AdbcStatusCode ConnectionGetInfo(AdbcConnection* connection, const uint32_t* info_codes,
                                 size_t info_codes_length, ArrowArrayStream* out,
                                 AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetInfo", error, [&]() -> arrow::Status {
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetInfo: null connection or stream");
    }
    return arrow::Status::NotImplemented("AdbcConnectionGetInfo is not available yet");
  });
}

AdbcStatusCode ConnectionGetTableTypes(AdbcConnection* connection, ArrowArrayStream* out,
                                       AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetTableTypes", error, [&]() -> arrow::Status {
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetTableTypes: null connection or stream");
    }
    return arrow::Status::NotImplemented("AdbcConnectionGetTableTypes is not available yet");
  });
}

AdbcStatusCode ConnectionGetObjects(AdbcConnection* connection, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_type, const char* column_name,
                                    ArrowArrayStream* out, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetObjects", error, [&]() -> arrow::Status {
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetObjects: null connection or stream");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError("AdbcConnectionGetObjects: connection not initialised");
    }
    return arrow::Status::NotImplemented("AdbcConnectionGetObjects is not available yet");
  });
}

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
    return arrow::Status::NotImplemented("AdbcConnectionGetTableSchema is not available yet");
  });
}

}  // namespace zv
