#include "metadata_engine/types.h"

#include <array>
#include <utility>

#include <arrow/status.h>
#include <arrow/type.h>

#include "metadata_engine/ascii_internal.h"

namespace zv_sql {

namespace {

// The names the service knows as well ("double precision" arrives as float8;
// written double_precision it is no type there).
constexpr std::array<std::pair<std::string_view, Type>, 25> kTypeNames = {{
    {"varchar", Type::String},
    {"char", Type::String},
    {"text", Type::String},
    {"nvarchar", Type::String},
    {"string", Type::String},
    {"bpchar", Type::String},
    {"boolean", Type::Bool},
    {"bool", Type::Bool},
    {"int4", Type::Int32},
    {"integer", Type::Int32},
    {"int", Type::Int32},
    {"smallint", Type::Int16},
    {"int2", Type::Int16},
    {"int8", Type::Int64},
    {"bigint", Type::Int64},
    {"float8", Type::Float64},
    {"double", Type::Float64},
    {"real", Type::Float32},
    {"float", Type::Float32},
    {"float4", Type::Float32},
    {"date", Type::Date},
    {"timestamp", Type::Timestamp},
    {"datetime", Type::Timestamp},
    {"timestamptz", Type::Timestamp},
    {"timestamp_with_time_zone", Type::Timestamp},
}};

}  // namespace

Type type_from_name(std::string_view name) {
  const std::string lowered = ascii_lower(name);
  for (const auto& [candidate, type] : kTypeNames) {
    if (candidate == lowered) return type;
  }
  return Type::Unknown;
}

arrow::Result<std::shared_ptr<arrow::DataType>> to_arrow_type(Type type) {
  switch (type) {
    case Type::Bool: return arrow::boolean();
    case Type::Int16: return arrow::int16();
    case Type::Int32: return arrow::int32();
    case Type::Int64: return arrow::int64();
    case Type::Float32: return arrow::float32();
    case Type::Float64: return arrow::float64();
    case Type::String: return arrow::utf8();
    case Type::Date: return arrow::date32();
    case Type::Timestamp: return arrow::timestamp(arrow::TimeUnit::MICRO);
    case Type::Null: return arrow::null();
    case Type::Unknown: break;
  }
  return arrow::Status::Invalid("unsupported zv_sql::Type");
}

}  // namespace zv_sql
