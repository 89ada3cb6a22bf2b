#pragma once

#include <cstdint>
#include <string_view>

namespace zv {

// ODBC-style codes and defaults for a catalog data_type text; -1 stands for
// null. The type's name is not among them: hosts are shown the data_type text
// itself, the service's own name of the type.
struct XdbcTypeInfo {
  int16_t sql_type;
  int32_t column_size;
  int16_t decimal_digits;
  int16_t num_prec_radix;
  int32_t char_octet_length;
};

// The defaults for `data_type` (ASCII case ignored); the codes of unknown
// types are those of a wide VARCHAR.
XdbcTypeInfo XdbcTypeInfoFor(std::string_view data_type);

// One of "BASE TABLE", "VIEW", "SYSTEM TABLE", "LOCAL TEMPORARY" or
// "GLOBAL TEMPORARY" for a table_type text (ASCII case ignored); empty and
// unknown texts are "BASE TABLE".
const char* NormaliseTableType(std::string_view table_type);

}  // namespace zv
