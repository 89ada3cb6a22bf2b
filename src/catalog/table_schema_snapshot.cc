#include "catalog/table_schema_snapshot.h"

#include <arrow/array.h>
#include <arrow/scalar.h>
#include <arrow/type.h>

#include <algorithm>
#include <string>
#include <vector>

#include "util/ascii.h"

namespace zv {

namespace {

bool Given(const char* filter) { return filter != nullptr && filter[0] != '\0'; }

// A string column of the batch by exact name, or null (also when it is not text).
std::shared_ptr<arrow::StringArray> TextColumn(const arrow::RecordBatch& batch,
                                               const char* name) {
  auto column = batch.GetColumnByName(name);
  if (!column || column->type_id() != arrow::Type::STRING) return nullptr;
  return std::static_pointer_cast<arrow::StringArray>(column);
}

// The integer at `row` of any integer column; -1 when null or not an integer.
int64_t IntegerAt(const arrow::Array& column, int64_t row) {
  if (column.IsNull(row) || !arrow::is_integer(column.type_id())) return -1;
  auto scalar = column.GetScalar(row);
  if (!scalar.ok()) return -1;
  auto as_int = (*scalar)->CastTo(arrow::int64());
  if (!as_int.ok()) return -1;
  return static_cast<const arrow::Int64Scalar&>(**as_int).value;
}

// A row passes a filter when no filter is given; a filter on a column the
// batch lacks matches nothing.
bool PassesFilter(const arrow::StringArray* column, int64_t row, const char* filter) {
  if (!Given(filter)) return true;
  if (column == nullptr || column->IsNull(row)) return false;
  return ascii_iequals(column->GetView(row), filter);
}

struct ColumnEntry {
  int64_t ordinal;
  std::shared_ptr<arrow::Field> field;
};

std::string TextAt(const arrow::StringArray* column, int64_t row) {
  if (column == nullptr || column->IsNull(row)) return "";
  return std::string(column->GetView(row));
}

}  // namespace

std::shared_ptr<arrow::DataType> ArrowTypeForCatalogType(std::string_view data_type, int64_t precision,
                                                         int64_t scale) {
  const std::string t = ascii_lower(data_type);
  if (t == "smallint") return arrow::int16();
  if (t == "integer" || t == "int") return arrow::int32();
  if (t == "bigint") return arrow::int64();
  if (t == "tinyint") return arrow::int8();
  if (t == "real") return arrow::float32();
  if (t == "double precision" || t == "double" || t == "float") return arrow::float64();
  if (t == "boolean" || t == "bool") return arrow::boolean();
  if (t == "date") return arrow::date32();
  if (t == "time" || t == "time without time zone") return arrow::time64(arrow::TimeUnit::MICRO);
  if (t == "timestamp" || t == "timestamp without time zone") return arrow::timestamp(arrow::TimeUnit::MICRO);
  if (t == "varchar" || t == "text") return arrow::utf8();
  if (t == "binary" || t == "varbinary" || t == "bytea" || t == "blob") return arrow::binary();
  if ((t == "numeric" || t == "decimal") && precision >= 1 && precision <= 38 && scale >= 0 && scale <= precision) {
    return arrow::decimal128(static_cast<int32_t>(precision), static_cast<int32_t>(scale));
  }
  return nullptr;
}

CatalogTableSchema SchemaFromCatalogColumns(const arrow::RecordBatch& columns, const char* catalog,
                                            const char* db_schema, const char* table_name) {
  auto tables = TextColumn(columns, "table_name");
  auto names = TextColumn(columns, "column_name");
  auto types = TextColumn(columns, "data_type");
  if (!tables || !names || !types) return {nullptr, "snapshot lacks the columns relation's name or type columns"};
  auto catalogs = TextColumn(columns, "table_catalog");
  auto schemas = TextColumn(columns, "table_schema");
  auto ordinals = columns.GetColumnByName("ordinal_position");
  auto precisions = columns.GetColumnByName("numeric_precision");
  auto scales = columns.GetColumnByName("numeric_scale");

  std::vector<ColumnEntry> entries;
  std::string owner;  // the one table the rows belong to
  for (int64_t row = 0; row < columns.num_rows(); ++row) {
    if (tables->IsNull(row) || !ascii_iequals(tables->GetView(row), table_name)) continue;
    if (!PassesFilter(catalogs.get(), row, catalog)) continue;
    if (!PassesFilter(schemas.get(), row, db_schema)) continue;
    const std::string table = TextAt(catalogs.get(), row) + '\0' + TextAt(schemas.get(), row) + '\0' +
                              std::string(tables->GetView(row));
    if (entries.empty()) owner = table;
    if (table != owner) return {nullptr, "the name matches several tables"};
    const int64_t ordinal = ordinals ? IntegerAt(*ordinals, row) : static_cast<int64_t>(entries.size()) + 1;
    const std::string data_type = TextAt(types.get(), row);
    auto type = ArrowTypeForCatalogType(data_type, precisions ? IntegerAt(*precisions, row) : -1,
                                        scales ? IntegerAt(*scales, row) : -1);
    if (!type) return {nullptr, "the snapshot does not determine the result type of " + data_type};
    // Result sets mark every field nullable, NOT NULL columns included.
    entries.push_back({ordinal, arrow::field(TextAt(names.get(), row), std::move(type), /*nullable=*/true)});
  }
  if (entries.empty()) return {nullptr, "snapshot did not carry columns for this table"};
  std::stable_sort(entries.begin(), entries.end(),
                   [](const ColumnEntry& a, const ColumnEntry& b) { return a.ordinal < b.ordinal; });
  arrow::FieldVector fields;
  fields.reserve(entries.size());
  for (auto& entry : entries) fields.push_back(std::move(entry.field));
  return {arrow::schema(std::move(fields)), ""};
}

}  // namespace zv
