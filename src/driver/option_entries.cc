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
#include "driver/option_table.h"
#include "driver/statement.h"

namespace zv {

namespace {

// What differs between the three handles: their record, the name their entry
// points log and report, their option table, and their SetOption.
template <typename Handle>
struct HandleOptions;

template <>
struct HandleOptions<AdbcDatabase> {
  using Record = ZVDatabase;
  static constexpr const char* kEntry = "AdbcDatabase";
  static constexpr const char* kNoun = "database";
  static constexpr auto Table = DatabaseOptions;
  static constexpr auto Set = DatabaseSetOption;
};

template <>
struct HandleOptions<AdbcConnection> {
  using Record = ZVConnection;
  static constexpr const char* kEntry = "AdbcConnection";
  static constexpr const char* kNoun = "connection";
  static constexpr auto Table = ConnectionOptions;
  static constexpr auto Set = ConnectionSetOption;
};

template <>
struct HandleOptions<AdbcStatement> {
  using Record = ZVStatement;
  static constexpr const char* kEntry = "AdbcStatement";
  static constexpr const char* kNoun = "statement";
  static constexpr auto Table = StatementOptions;
  static constexpr auto Set = StatementSetOption;
};

template <typename Handle>
std::string EntryName(const char* suffix) {
  return std::string(HandleOptions<Handle>::kEntry) + suffix;
}

// One getter entry point: `deliver` hands the option's text to the host in
// the entry point's type.
template <typename Handle, typename Deliver>
AdbcStatusCode Get(const char* suffix, Handle* handle, const char* key, AdbcError* error,
                   Deliver deliver) {
  using Options = HandleOptions<Handle>;
  return RunEntryPoint(Options::kEntry, error, [&]() -> arrow::Status {
    const std::string entry = EntryName<Handle>(suffix);
    ZV_LOG(kLogInfo, "api", "%s(handle=%p, key=%s)", entry.c_str(), static_cast<void*>(handle),
           key ? key : "(null)");
    if (handle == nullptr || key == nullptr) {
      return NullArgument(entry + ": null handle or key");
    }
    auto* record = RecordOf<typename Options::Record>(handle);
    if (record == nullptr) {
      return SequenceError(EntryName<Handle>("GetOption") + ": " + Options::kNoun +
                           " not allocated");
    }
    ARROW_ASSIGN_OR_RAISE(std::string text, ReadOption(Options::Table(), *record, key));
    return deliver(entry, std::string(key), text);
  });
}

// Text and bytes report a null length before anything else, as SetError
// cannot say which argument was null otherwise.
template <typename Handle, typename Deliver>
AdbcStatusCode GetIntoBuffer(const char* suffix, Handle* handle, const char* key, size_t* length,
                             AdbcError* error, Deliver deliver) {
  if (length == nullptr) {
    return RunEntryPoint(HandleOptions<Handle>::kEntry, error,
                         [&] { return NullArgument(EntryName<Handle>(suffix) + ": null length"); });
  }
  return Get(suffix, handle, key, error, deliver);
}

// A number parsed from the option's text by `as_number` (OptionAsInt or
// OptionAsDouble).
template <typename Handle, typename Number, typename AsNumber>
AdbcStatusCode GetNumber(const char* suffix, Handle* handle, const char* key, Number* value,
                         AdbcError* error, AsNumber as_number) {
  return Get(suffix, handle, key, error,
             [&](const std::string& entry, const std::string& k,
                 const std::string& text) -> arrow::Status {
               if (value == nullptr) return NullArgument(entry + ": null value");
               ARROW_ASSIGN_OR_RAISE(*value, as_number(k, text));
               return arrow::Status::OK();
             });
}

// A typed setter: `make_text` gives the option's text, which goes through
// the handle's own SetOption, so every check and log line is the same. The
// text is made where no exception can reach the host.
template <typename Handle, typename MakeText>
AdbcStatusCode SetAsText(Handle* handle, const char* key, AdbcError* error, MakeText make_text) {
  std::string text;
  const AdbcStatusCode made =
      RunEntryPoint(HandleOptions<Handle>::kEntry, error, [&]() -> arrow::Status {
        ARROW_ASSIGN_OR_RAISE(text, make_text());
        return arrow::Status::OK();
      });
  if (made != ADBC_STATUS_OK) return made;
  return HandleOptions<Handle>::Set(handle, key, text.c_str(), error);
}

}  // namespace

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::GetText(Handle* handle, const char* key, char* value,
                                                   size_t* length, AdbcError* error) {
  return GetIntoBuffer("GetOption", handle, key, length, error,
                       [&](const std::string&, const std::string&, const std::string& text) {
                         CopyOptionText(text, value, length);
                         return arrow::Status::OK();
                       });
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::GetBytes(Handle* handle, const char* key, uint8_t* value,
                                                    size_t* length, AdbcError* error) {
  return GetIntoBuffer("GetOptionBytes", handle, key, length, error,
                       [&](const std::string&, const std::string&, const std::string& text) {
                         CopyOptionBytes(text, value, length);
                         return arrow::Status::OK();
                       });
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::GetInt(Handle* handle, const char* key, int64_t* value,
                                                  AdbcError* error) {
  return GetNumber("GetOptionInt", handle, key, value, error, OptionAsInt);
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::GetDouble(Handle* handle, const char* key, double* value,
                                                     AdbcError* error) {
  return GetNumber("GetOptionDouble", handle, key, value, error, OptionAsDouble);
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::SetBytes(Handle* handle, const char* key,
                                                    const uint8_t* value, size_t length,
                                                    AdbcError* error) {
  return SetAsText(handle, key, error,
                   [&] { return BytesOptionText(key ? key : "(null)", value, length); });
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::SetInt(Handle* handle, const char* key, int64_t value,
                                                  AdbcError* error) {
  return SetAsText(handle, key, error,
                   [&] { return arrow::Result<std::string>(IntOptionText(value)); });
}

template <typename Handle>
AdbcStatusCode TypedOptionEntries<Handle>::SetDouble(Handle* handle, const char* key, double value,
                                                     AdbcError* error) {
  return SetAsText(handle, key, error,
                   [&] { return arrow::Result<std::string>(DoubleOptionText(value)); });
}

template struct TypedOptionEntries<AdbcDatabase>;
template struct TypedOptionEntries<AdbcConnection>;
template struct TypedOptionEntries<AdbcStatement>;

// --- statistics -------------------------------------------------------------

AdbcStatusCode ConnectionGetStatisticNames(AdbcConnection*, ArrowArrayStream*, AdbcError* error) {
  zv_set_error(error, "AdbcConnectionGetStatisticNames: the service keeps no table statistics",
               "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

AdbcStatusCode ConnectionGetStatistics(AdbcConnection*, const char*, const char*, const char*, char,
                                       ArrowArrayStream*, AdbcError* error) {
  zv_set_error(error, "AdbcConnectionGetStatistics: the service keeps no table statistics",
               "HYC00");
  return ADBC_STATUS_NOT_IMPLEMENTED;
}

}  // namespace zv
