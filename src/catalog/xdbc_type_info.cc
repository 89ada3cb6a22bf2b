#include "catalog/xdbc_type_info_internal.h"

#include <initializer_list>
#include <string>

#include "util/ascii.h"

namespace zv {

namespace {

constexpr XdbcTypeInfo kTinyint{-6, 3, 0, 10, -1};
constexpr XdbcTypeInfo kSmallint{5, 5, 0, 10, -1};
constexpr XdbcTypeInfo kInteger{4, 10, 0, 10, -1};
constexpr XdbcTypeInfo kBigint{-5, 19, 0, 10, -1};
constexpr XdbcTypeInfo kReal{7, 24, -1, 2, -1};
constexpr XdbcTypeInfo kDouble{8, 53, -1, 2, -1};
constexpr XdbcTypeInfo kBit{-7, 1, -1, -1, -1};
constexpr XdbcTypeInfo kDate{91, 10, 0, -1, -1};
constexpr XdbcTypeInfo kTime{92, 15, -1, -1, -1};
constexpr XdbcTypeInfo kTimestampTz{95, 32, -1, -1, -1};
constexpr XdbcTypeInfo kTimestamp{93, 26, -1, -1, -1};
constexpr XdbcTypeInfo kBinary{-2, 65535, -1, -1, 65535};
constexpr XdbcTypeInfo kVarbinary{-3, 65535, -1, -1, 65535};
constexpr XdbcTypeInfo kLongVarbinary{-4, 65535, -1, -1, 65535};
constexpr XdbcTypeInfo kDecimal{3, -1, -1, 10, -1};
constexpr XdbcTypeInfo kChar{1, 1, -1, -1, 4};
constexpr XdbcTypeInfo kVarchar{12, 256, -1, -1, 1024};
constexpr XdbcTypeInfo kUuid{12, 36, -1, -1, 144};
constexpr XdbcTypeInfo kWideVarchar{12, 65535, -1, -1, 262140};

}  // namespace

XdbcTypeInfo XdbcTypeInfoFor(std::string_view data_type) {
  const std::string t = ascii_lower(data_type);
  auto is = [&](std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
      if (t == name) return true;
    }
    return false;
  };
  auto begins = [&](std::initializer_list<std::string_view> prefixes) {
    for (std::string_view prefix : prefixes) {
      if (std::string_view(t).substr(0, prefix.size()) == prefix) return true;
    }
    return false;
  };
  // The rules are order-sensitive: "timestamp with time zone" before
  // "timestamp", and the varying character types before the "char" prefix,
  // which would otherwise swallow the standard spelling "character varying".
  if (is({"tinyint"})) return kTinyint;
  if (is({"smallint"})) return kSmallint;
  if (is({"integer", "int"})) return kInteger;
  if (is({"bigint"})) return kBigint;
  // The service's FLOAT is the 32-bit type; its 64-bit one is DOUBLE.
  if (is({"real", "float"})) return kReal;
  if (is({"double precision", "double"})) return kDouble;
  if (is({"boolean", "bool", "bit"})) return kBit;
  if (is({"date"})) return kDate;
  if (begins({"time without time zone", "time with time zone"}) || is({"time"})) return kTime;
  if (begins({"timestamp with time zone", "timestamptz("}) || is({"timestamptz"})) {
    return kTimestampTz;
  }
  if (begins({"timestamp"})) return kTimestamp;
  if (is({"binary"})) return kBinary;
  if (is({"varbinary", "bytea", "blob"}) || begins({"varbinary(", "bytea("})) return kVarbinary;
  if (is({"longvarbinary"})) return kLongVarbinary;
  if (is({"numeric", "decimal"}) || begins({"decimal(", "numeric("})) return kDecimal;
  if (begins({"character varying", "char varying"})) return kVarchar;
  if (begins({"char"})) return kChar;
  if (begins({"varchar"})) return kVarchar;
  if (is({"text", "string", "utf8"})) return kVarchar;
  if (is({"uuid"})) return kUuid;
  return kWideVarchar;
}

const char* NormaliseTableType(std::string_view table_type) {
  if (ascii_iequals(table_type, "VIEW")) return "VIEW";
  if (ascii_iequals(table_type, "SYSTEM") || ascii_iequals(table_type, "SYSTEM TABLE")) {
    return "SYSTEM TABLE";
  }
  if (ascii_iequals(table_type, "LOCAL TEMPORARY")) return "LOCAL TEMPORARY";
  if (ascii_iequals(table_type, "GLOBAL TEMPORARY")) return "GLOBAL TEMPORARY";
  return "BASE TABLE";
}

}  // namespace zv
