// Value types of the metadata engine and their Arrow counterparts.
#pragma once

#include <memory>
#include <string_view>

#include <arrow/result.h>
#include <arrow/type_fwd.h>

namespace zv_sql {

// Int16 and Float32 are SQL's SMALLINT and REAL: values of those widths
// overflow and round at their own limits, so they are types of their own.
enum class Type {
  Unknown,
  Bool,
  Int32,
  Int64,
  Float64,
  String,
  Date,
  Timestamp,
  Null,
  Int16,
  Float32
};

// Looks a SQL type name up (ASCII case-insensitively); unknown names give Unknown.
Type type_from_name(std::string_view name);

// Unknown has no Arrow type and fails with "unsupported zv_sql::Type".
arrow::Result<std::shared_ptr<arrow::DataType>> to_arrow_type(Type type);

}  // namespace zv_sql
