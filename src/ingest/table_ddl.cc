#include "ingest/table_ddl_internal.h"

#include <arrow/array.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>
#include <parquet/arrow/schema.h>
#include <parquet/properties.h>
#include <arrow/util/checked_cast.h>

#include <set>

#include "util/failure.h"
#include "util/ascii.h"

namespace zv {

namespace {

using arrow::internal::checked_cast;

arrow::Status Unstorable(const arrow::DataType& type) {
  return arrow::Status::NotImplemented("the service cannot store Arrow type ", type.ToString());
}

const char* TimestampType(const arrow::TimestampType& type) {
  // Zoned values are stored as instants to the microsecond; a value with
  // nanoseconds is refused by the server rather than truncated.
  if (!type.timezone().empty()) return "TIMESTAMPTZ";
  switch (type.unit()) {
    case arrow::TimeUnit::SECOND: return "TIMESTAMP_S";
    case arrow::TimeUnit::MILLI: return "TIMESTAMP_MS";
    case arrow::TimeUnit::MICRO: return "TIMESTAMP";
    case arrow::TimeUnit::NANO: return "TIMESTAMP_NS";
  }
  return "TIMESTAMP";
}

arrow::Result<std::string> StructType(const arrow::StructType& type) {
  if (type.num_fields() == 0) return Unstorable(type);
  std::string out = "STRUCT(";
  for (int i = 0; i < type.num_fields(); ++i) {
    if (i > 0) out += ", ";
    ARROW_ASSIGN_OR_RAISE(std::string member, SqlTypeOf(*type.field(i)->type()));
    out += QuoteIdentifier(type.field(i)->name()) + " " + member;
  }
  return out + ")";
}

arrow::Result<std::string> NestedType(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::LIST:
    case arrow::Type::LARGE_LIST:
    case arrow::Type::LIST_VIEW:
    case arrow::Type::LARGE_LIST_VIEW: {
      ARROW_ASSIGN_OR_RAISE(std::string value, SqlTypeOf(*type.field(0)->type()));
      return value + "[]";
    }
    case arrow::Type::FIXED_SIZE_LIST: {
      const auto& list = checked_cast<const arrow::FixedSizeListType&>(type);
      ARROW_ASSIGN_OR_RAISE(std::string value, SqlTypeOf(*list.value_type()));
      return value + "[" + std::to_string(list.list_size()) + "]";
    }
    case arrow::Type::STRUCT: return StructType(checked_cast<const arrow::StructType&>(type));
    case arrow::Type::MAP: {
      const auto& map = checked_cast<const arrow::MapType&>(type);
      ARROW_ASSIGN_OR_RAISE(std::string key, SqlTypeOf(*map.key_type()));
      ARROW_ASSIGN_OR_RAISE(std::string item, SqlTypeOf(*map.item_type()));
      return "MAP(" + key + ", " + item + ")";
    }
    case arrow::Type::DICTIONARY:
      // Dictionary encoding is a transport detail: the column holds values.
      return SqlTypeOf(*checked_cast<const arrow::DictionaryType&>(type).value_type());
    default: return Unstorable(type);
  }
}

}  // namespace

arrow::Result<std::string> SqlTypeOf(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::BOOL: return "BOOLEAN";
    case arrow::Type::INT8: return "TINYINT";
    case arrow::Type::INT16: return "SMALLINT";
    case arrow::Type::INT32: return "INTEGER";
    case arrow::Type::INT64: return "BIGINT";
    case arrow::Type::UINT8: return "UTINYINT";
    case arrow::Type::UINT16: return "USMALLINT";
    case arrow::Type::UINT32: return "UINTEGER";
    case arrow::Type::UINT64: return "UBIGINT";
    case arrow::Type::FLOAT: return "REAL";
    case arrow::Type::DOUBLE: return "DOUBLE";
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: return "VARCHAR";
    case arrow::Type::BINARY:
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::BINARY_VIEW:
    case arrow::Type::FIXED_SIZE_BINARY: return "BLOB";
    case arrow::Type::DATE32:
    case arrow::Type::DATE64: return "DATE";
    case arrow::Type::TIME32:
    case arrow::Type::TIME64: return "TIME";
    case arrow::Type::TIMESTAMP:
      return TimestampType(checked_cast<const arrow::TimestampType&>(type));
    case arrow::Type::DURATION:
      // An interval keeps microseconds: nanoseconds would be rounded away.
      if (checked_cast<const arrow::DurationType&>(type).unit() == arrow::TimeUnit::NANO) {
        return Unstorable(type);
      }
      return "INTERVAL";
    case arrow::Type::INTERVAL_MONTHS:
    case arrow::Type::INTERVAL_DAY_TIME:
    case arrow::Type::INTERVAL_MONTH_DAY_NANO: return "INTERVAL";
    case arrow::Type::DECIMAL32:
    case arrow::Type::DECIMAL64:
    case arrow::Type::DECIMAL128: {
      const auto& decimal = checked_cast<const arrow::DecimalType&>(type);
      if (decimal.precision() > 38) return Unstorable(type);
      return "DECIMAL(" + std::to_string(decimal.precision()) + ", " +
             std::to_string(decimal.scale()) + ")";
    }
    default: return NestedType(type);
  }
}

arrow::Status CheckLoadableSchema(const arrow::Schema& schema) {
  auto refuse = [](std::string message) {
    return Failure(FailureKind::kInvalidArgument, "22023", std::move(message));
  };
  if (schema.num_fields() == 0) return refuse("ingest: the bound data has no columns");
  std::set<std::string> seen;
  for (const auto& field : schema.fields()) {
    if (field->name().empty()) return refuse("ingest: a column of the bound data has no name");
    if (!seen.insert(ascii_lower(field->name())).second) {
      return Failure(FailureKind::kInvalidArgument, "42S21",
                     "ingest: column name '" + field->name() +
                         "' appears twice in the bound data (names are compared "
                         "case-insensitively)");
    }
    auto sql_type = SqlTypeOf(*field->type());
    if (!sql_type.ok()) {
      return Failure(FailureKind::kNotImplemented, "HYC00",
                     "ingest: column '" + field->name() + "' has Arrow type " +
                         field->type()->ToString() + ", which the service cannot store");
    }
  }
  return arrow::Status::OK();
}

arrow::Status CheckAppendTarget(const arrow::Schema& data, const arrow::Schema& target,
                                const std::string& table_name) {
  std::set<std::string> columns;
  for (const auto& field : target.fields()) columns.insert(ascii_lower(field->name()));
  for (const auto& field : data.fields()) {
    if (columns.count(ascii_lower(field->name())) != 0) continue;
    return Failure(FailureKind::kAlreadyExists, "42S22",
                   "ingest: table " + table_name + " exists but has no column '" + field->name() +
                       "' for the bound data; nothing was loaded");
  }
  return arrow::Status::OK();
}

arrow::Status CheckParquetEncodable(const arrow::Schema& schema) {
  const auto& properties = parquet::default_writer_properties();
  const auto& arrow_properties = parquet::default_arrow_writer_properties();
  for (const auto& field : schema.fields()) {
    std::shared_ptr<parquet::SchemaDescriptor> converted;
    const arrow::Status status = parquet::arrow::ToParquetSchema(
        arrow::schema({field}).get(), *properties, *arrow_properties, &converted);
    if (!status.ok()) {
      return Failure(FailureKind::kNotImplemented, "HYC00",
                     "ingest: column '" + field->name() + "' has Arrow type " +
                         field->type()->ToString() +
                         ", which the Parquet payload cannot carry (use arrow_ipc)");
    }
  }
  return arrow::Status::OK();
}

namespace {

bool StoredToTheMicrosecond(const arrow::DataType& type) {
  if (type.id() == arrow::Type::TIME64) {
    return checked_cast<const arrow::Time64Type&>(type).unit() == arrow::TimeUnit::NANO;
  }
  if (type.id() != arrow::Type::TIMESTAMP) return false;
  const auto& timestamp = checked_cast<const arrow::TimestampType&>(type);
  return timestamp.unit() == arrow::TimeUnit::NANO && !timestamp.timezone().empty();
}

}  // namespace

arrow::Status CheckMicrosecondValues(const arrow::RecordBatch& batch) {
  for (int i = 0; i < batch.num_columns(); ++i) {
    if (!StoredToTheMicrosecond(*batch.column(i)->type())) continue;
    const arrow::ArrayData& data = *batch.column(i)->data();
    const int64_t* values = data.GetValues<int64_t>(1);
    for (int64_t row = 0; row < data.length; ++row) {
      if (values[row] % 1000 == 0 || !batch.column(i)->IsValid(row)) continue;
      return Failure(FailureKind::kInvalidArgument, "22018",
                     "ingest: column '" + batch.schema()->field(i)->name() + "' (" +
                         batch.column(i)->type()->ToString() +
                         ") holds a value with nanoseconds; the service stores it to the "
                         "microsecond, so nothing was loaded");
    }
  }
  return arrow::Status::OK();
}

arrow::Result<std::string> CreateTableSql(const TableName& name, const arrow::Schema& schema) {
  std::string sql = "CREATE TABLE " + name.Quoted() + " (";
  for (int i = 0; i < schema.num_fields(); ++i) {
    const arrow::Field& field = *schema.field(i);
    if (i > 0) sql += ", ";
    ARROW_ASSIGN_OR_RAISE(std::string type, SqlTypeOf(*field.type()));
    sql += QuoteIdentifier(field.name()) + " " + type;
    if (!field.nullable()) sql += " NOT NULL";
  }
  return sql + ")";
}

}  // namespace zv
