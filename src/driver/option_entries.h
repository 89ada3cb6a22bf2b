// ADBC 1.1 option and statistics entry points of the three handles.
#pragma once

#include <adbc.h>

#include <cstddef>
#include <cstdint>

namespace zv {

// The typed Get/SetOption entry points of one handle type (AdbcDatabase,
// AdbcConnection or AdbcStatement): getters read the handle's option text
// and hand it over in the entry point's type; setters set the same options as
// the handle's SetOption, with the same checks and log lines.
template <typename Handle>
struct TypedOptionEntries {
  static AdbcStatusCode GetText(Handle* handle, const char* key, char* value, size_t* length,
                                AdbcError* error);
  static AdbcStatusCode GetBytes(Handle* handle, const char* key, uint8_t* value, size_t* length,
                                 AdbcError* error);
  static AdbcStatusCode GetInt(Handle* handle, const char* key, int64_t* value, AdbcError* error);
  static AdbcStatusCode GetDouble(Handle* handle, const char* key, double* value, AdbcError* error);
  static AdbcStatusCode SetBytes(Handle* handle, const char* key, const uint8_t* value,
                                 size_t length, AdbcError* error);
  static AdbcStatusCode SetInt(Handle* handle, const char* key, int64_t value, AdbcError* error);
  static AdbcStatusCode SetDouble(Handle* handle, const char* key, double value, AdbcError* error);
};

extern template struct TypedOptionEntries<AdbcDatabase>;
extern template struct TypedOptionEntries<AdbcConnection>;
extern template struct TypedOptionEntries<AdbcStatement>;

AdbcStatusCode ConnectionGetStatisticNames(AdbcConnection*, ArrowArrayStream*, AdbcError* error);
AdbcStatusCode ConnectionGetStatistics(AdbcConnection*, const char*, const char*, const char*, char,
                                       ArrowArrayStream*, AdbcError* error);

}  // namespace zv
