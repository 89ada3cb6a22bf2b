#pragma once

#include <cstdint>
#include <string_view>

namespace zv {

// ODBC-style defaults for a catalog data_type text; -1 stands for null.
struct XdbcTypeInfo {
  int16_t sql_type;
  const char* type_name;
  int32_t column_size;
  int16_t decimal_digits;
  int16_t num_prec_radix;
  int32_t char_octet_length;
};

// The defaults for `data_type` (ASCII case ignored); unknown types are
// reported as wide VARCHAR.
XdbcTypeInfo XdbcTypeInfoFor(std::string_view data_type);

// One of "BASE TABLE", "VIEW", "SYSTEM TABLE", "LOCAL TEMPORARY" or
// "GLOBAL TEMPORARY" for a table_type text (ASCII case ignored); empty and
// unknown texts are "BASE TABLE".
const char* NormaliseTableType(std::string_view table_type);

}  // namespace zv
