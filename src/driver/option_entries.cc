// The ADBC 1.1 option entry points of all three handles: typed getters over
// each handle's option text, typed setters that set the same options as
// SetOption.

#include "driver/option_entries.h"

#include <string>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/database.h"
#include "driver/handle_record.h"
#include "driver/option_access.h"
#include "driver/statement.h"

namespace zv {

namespace {

arrow::Result<std::string> ReadDatabase(AdbcDatabase* handle, const std::string& key) {
  ZVDatabase* db = RecordOf<ZVDatabase>(handle);
  if (db == nullptr) return SequenceError("AdbcDatabaseGetOption: database not allocated");
  return DatabaseOptionValue(*db, key);
}

arrow::Result<std::string> ReadConnection(AdbcConnection* handle, const std::string& key) {
  ZVConnection* conn = RecordOf<ZVConnection>(handle);
  if (conn == nullptr) return SequenceError("AdbcConnectionGetOption: connection not allocated");
  return ConnectionOptionValue(*conn, key);
}

arrow::Result<std::string> ReadStatement(AdbcStatement* handle, const std::string& key) {
  ZVStatement* stmt = RecordOf<ZVStatement>(handle);
  if (stmt == nullptr) return SequenceError("AdbcStatementGetOption: statement not allocated");
  return StatementOptionValue(*stmt, key);
}

// One getter entry point: `deliver` hands the option's text to the host in
// the entry point's type.
template <typename Handle, typename Read, typename Deliver>
AdbcStatusCode Get(const char* entry, Handle* handle, const char* key, AdbcError* error,
                   Read read, Deliver deliver) {
  return RunEntryPoint(entry, error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "%s(handle=%p, key=%s)", entry, static_cast<void*>(handle),
           key ? key : "(null)");
    if (handle == nullptr || key == nullptr) {
      return NullArgument(std::string(entry) + ": null handle or key");
    }
    ARROW_ASSIGN_OR_RAISE(std::string text, read(handle, std::string(key)));
    return deliver(std::string(key), text);
  });
}

template <typename Handle, typename Read>
AdbcStatusCode GetText(const char* entry, Handle* handle, const char* key, char* value,
                       size_t* length, AdbcError* error, Read read) {
  if (length == nullptr) {
    zv_set_error(error, (std::string(entry) + ": null length").c_str(), "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  return Get(entry, handle, key, error, read, [&](const std::string&, const std::string& text) {
    CopyOptionText(text, value, length);
    return arrow::Status::OK();
  });
}

template <typename Handle, typename Read>
AdbcStatusCode GetBytes(const char* entry, Handle* handle, const char* key, uint8_t* value,
                        size_t* length, AdbcError* error, Read read) {
  if (length == nullptr) {
    zv_set_error(error, (std::string(entry) + ": null length").c_str(), "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  return Get(entry, handle, key, error, read, [&](const std::string&, const std::string& text) {
    CopyOptionBytes(text, value, length);
    return arrow::Status::OK();
  });
}

template <typename Handle, typename Read>
AdbcStatusCode GetInt(const char* entry, Handle* handle, const char* key, int64_t* value,
                      AdbcError* error, Read read) {
  return Get(entry, handle, key, error, read,
             [&](const std::string& k, const std::string& text) -> arrow::Status {
               if (value == nullptr) return NullArgument(std::string(entry) + ": null value");
               ARROW_ASSIGN_OR_RAISE(*value, OptionAsInt(k, text));
               return arrow::Status::OK();
             });
}

template <typename Handle, typename Read>
AdbcStatusCode GetDouble(const char* entry, Handle* handle, const char* key, double* value,
                         AdbcError* error, Read read) {
  return Get(entry, handle, key, error, read,
             [&](const std::string& k, const std::string& text) -> arrow::Status {
               if (value == nullptr) return NullArgument(std::string(entry) + ": null value");
               ARROW_ASSIGN_OR_RAISE(*value, OptionAsDouble(k, text));
               return arrow::Status::OK();
             });
}

// Typed setters go through the handle's own SetOption, so every check and
// log line is the same.
template <typename Handle, typename SetText>
AdbcStatusCode SetBytes(const char* entry, Handle* handle, const char* key, const uint8_t* value,
                        size_t length, AdbcError* error, SetText set_text) {
  auto text = BytesOptionText(key ? key : "(null)", value, length);
  if (!text.ok()) return RunEntryPoint(entry, error, [&] { return text.status(); });
  return set_text(handle, key, text->c_str(), error);
}

}  // namespace

// --- database ---------------------------------------------------------------

AdbcStatusCode DatabaseGetOption(AdbcDatabase* d, const char* key, char* value, size_t* length,
                                 AdbcError* error) {
  return GetText("AdbcDatabaseGetOption", d, key, value, length, error, ReadDatabase);
}
AdbcStatusCode DatabaseGetOptionBytes(AdbcDatabase* d, const char* key, uint8_t* value,
                                      size_t* length, AdbcError* error) {
  return GetBytes("AdbcDatabaseGetOptionBytes", d, key, value, length, error, ReadDatabase);
}
AdbcStatusCode DatabaseGetOptionInt(AdbcDatabase* d, const char* key, int64_t* value,
                                    AdbcError* error) {
  return GetInt("AdbcDatabaseGetOptionInt", d, key, value, error, ReadDatabase);
}
AdbcStatusCode DatabaseGetOptionDouble(AdbcDatabase* d, const char* key, double* value,
                                       AdbcError* error) {
  return GetDouble("AdbcDatabaseGetOptionDouble", d, key, value, error, ReadDatabase);
}
AdbcStatusCode DatabaseSetOptionBytes(AdbcDatabase* d, const char* key, const uint8_t* value,
                                      size_t length, AdbcError* error) {
  return SetBytes("AdbcDatabaseSetOptionBytes", d, key, value, length, error, DatabaseSetOption);
}
AdbcStatusCode DatabaseSetOptionInt(AdbcDatabase* d, const char* key, int64_t value,
                                    AdbcError* error) {
  return DatabaseSetOption(d, key, IntOptionText(value).c_str(), error);
}
AdbcStatusCode DatabaseSetOptionDouble(AdbcDatabase* d, const char* key, double value,
                                       AdbcError* error) {
  return DatabaseSetOption(d, key, DoubleOptionText(value).c_str(), error);
}

// --- connection -------------------------------------------------------------

AdbcStatusCode ConnectionGetOption(AdbcConnection* c, const char* key, char* value,
                                   size_t* length, AdbcError* error) {
  return GetText("AdbcConnectionGetOption", c, key, value, length, error, ReadConnection);
}
AdbcStatusCode ConnectionGetOptionBytes(AdbcConnection* c, const char* key, uint8_t* value,
                                        size_t* length, AdbcError* error) {
  return GetBytes("AdbcConnectionGetOptionBytes", c, key, value, length, error, ReadConnection);
}
AdbcStatusCode ConnectionGetOptionInt(AdbcConnection* c, const char* key, int64_t* value,
                                      AdbcError* error) {
  return GetInt("AdbcConnectionGetOptionInt", c, key, value, error, ReadConnection);
}
AdbcStatusCode ConnectionGetOptionDouble(AdbcConnection* c, const char* key, double* value,
                                         AdbcError* error) {
  return GetDouble("AdbcConnectionGetOptionDouble", c, key, value, error, ReadConnection);
}
AdbcStatusCode ConnectionSetOptionBytes(AdbcConnection* c, const char* key, const uint8_t* value,
                                        size_t length, AdbcError* error) {
  return SetBytes("AdbcConnectionSetOptionBytes", c, key, value, length, error,
                  ConnectionSetOption);
}
AdbcStatusCode ConnectionSetOptionInt(AdbcConnection* c, const char* key, int64_t value,
                                      AdbcError* error) {
  return ConnectionSetOption(c, key, IntOptionText(value).c_str(), error);
}
AdbcStatusCode ConnectionSetOptionDouble(AdbcConnection* c, const char* key, double value,
                                         AdbcError* error) {
  return ConnectionSetOption(c, key, DoubleOptionText(value).c_str(), error);
}

// --- statement --------------------------------------------------------------

AdbcStatusCode StatementGetOption(AdbcStatement* s, const char* key, char* value,
                                  size_t* length, AdbcError* error) {
  return GetText("AdbcStatementGetOption", s, key, value, length, error, ReadStatement);
}
AdbcStatusCode StatementGetOptionBytes(AdbcStatement* s, const char* key, uint8_t* value,
                                       size_t* length, AdbcError* error) {
  return GetBytes("AdbcStatementGetOptionBytes", s, key, value, length, error, ReadStatement);
}
AdbcStatusCode StatementGetOptionInt(AdbcStatement* s, const char* key, int64_t* value,
                                     AdbcError* error) {
  return GetInt("AdbcStatementGetOptionInt", s, key, value, error, ReadStatement);
}
AdbcStatusCode StatementGetOptionDouble(AdbcStatement* s, const char* key, double* value,
                                        AdbcError* error) {
  return GetDouble("AdbcStatementGetOptionDouble", s, key, value, error, ReadStatement);
}
AdbcStatusCode StatementSetOptionBytes(AdbcStatement* s, const char* key, const uint8_t* value,
                                       size_t length, AdbcError* error) {
  return SetBytes("AdbcStatementSetOptionBytes", s, key, value, length, error,
                  StatementSetOption);
}
AdbcStatusCode StatementSetOptionInt(AdbcStatement* s, const char* key, int64_t value,
                                     AdbcError* error) {
  return StatementSetOption(s, key, IntOptionText(value).c_str(), error);
}
AdbcStatusCode StatementSetOptionDouble(AdbcStatement* s, const char* key, double value,
                                        AdbcError* error) {
  return StatementSetOption(s, key, DoubleOptionText(value).c_str(), error);
}

// --- statistics -------------------------------------------------------------

AdbcStatusCode ConnectionGetStatisticNames(AdbcConnection*, ArrowArrayStream*, AdbcError* error) {
  zv_set_error(error, "AdbcConnectionGetStatisticNames: the service keeps no table statistics",
               "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode ConnectionGetStatistics(AdbcConnection*, const char*, const char*, const char*,
                                       char, ArrowArrayStream*, AdbcError* error) {
  zv_set_error(error, "AdbcConnectionGetStatistics: the service keeps no table statistics",
               "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // namespace zv
