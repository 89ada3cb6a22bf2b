#include "catalog/table_schema_snapshot.h"

#include <arrow/type.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "catalog/snapshot_columns_internal.h"
#include "util/ascii.h"

namespace zv {

namespace {

bool Given(const char* filter) { return filter != nullptr && filter[0] != '\0'; }

// The number at the front of `text`, which is consumed; empty when there is none.
std::optional<int64_t> TakeNumber(std::string_view& text) {
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

// "(12,2)" or "(12)" after a decimal type's name: its precision and scale.
std::optional<std::pair<int64_t, int64_t>> DecimalParameters(std::string_view text) {
  if (text.empty() || text.front() != '(' || text.back() != ')') return std::nullopt;
  text = text.substr(1, text.size() - 2);
  auto precision = TakeNumber(text);
  if (!precision) return std::nullopt;
  int64_t scale = 0;
  if (!text.empty()) {
    if (text.front() != ',') return std::nullopt;
    text.remove_prefix(1);
    auto given = TakeNumber(text);
    if (!given || !text.empty()) return std::nullopt;
    scale = *given;
  }
  return std::make_pair(*precision, scale);
}

std::shared_ptr<arrow::DataType> DecimalType(int64_t precision, int64_t scale) {
  if (precision < 1 || precision > 38 || scale < 0 || scale > precision) return nullptr;
  return arrow::decimal128(static_cast<int32_t>(precision), static_cast<int32_t>(scale));
}

// A name passes a filter when no filter is given; a filter on a column the
// batch lacks matches nothing.
bool PassesFilter(std::optional<std::string_view> value, const char* filter) {
  if (!Given(filter)) return true;
  return value && ascii_iequals(*value, filter);
}

bool SpelledAsGiven(const std::string& value, const char* given) {
  return !Given(given) || value == given;
}

bool NullableText(std::optional<std::string_view> value) {
  return !value || value->empty() || ascii_iequals(*value, "YES");
}

using TableKey = std::tuple<std::string, std::string, std::string>;

// The rows of every table the request's names match (ASCII case ignored),
// keyed by the table's names as the snapshot spells them.
std::map<TableKey, std::vector<int64_t>> MatchingTables(const arrow::RecordBatch& columns,
                                                        const char* catalog, const char* db_schema,
                                                        const char* table_name) {
  const TextColumn tables(&columns, "table_name");
  const TextColumn catalogs(&columns, "table_catalog");
  const TextColumn schemas(&columns, "table_schema");
  std::map<TableKey, std::vector<int64_t>> matches;
  for (int64_t row = 0; row < columns.num_rows(); ++row) {
    const auto table = tables.at(row);
    if (!table || !ascii_iequals(*table, table_name)) continue;
    if (!PassesFilter(catalogs.at(row), catalog) || !PassesFilter(schemas.at(row), db_schema))
      continue;
    TableKey key{std::string(catalogs.text_at(row)), std::string(schemas.text_at(row)),
                 std::string(*table)};
    matches[std::move(key)].push_back(row);
  }
  return matches;
}

// The one table the request names: the only match, or among several the
// only one spelled exactly as requested (a service may keep "T" and "t" apart).
const std::pair<const TableKey, std::vector<int64_t>>* ChooseTable(
    const std::map<TableKey, std::vector<int64_t>>& matches, const char* catalog,
    const char* db_schema, const char* table_name) {
  if (matches.size() == 1) return &*matches.begin();
  const std::pair<const TableKey, std::vector<int64_t>>* exact = nullptr;
  for (const auto& match : matches) {
    const auto& [table_catalog, table_schema, table] = match.first;
    if (table != table_name || !SpelledAsGiven(table_catalog, catalog) ||
        !SpelledAsGiven(table_schema, db_schema)) {
      continue;
    }
    if (exact) return nullptr;
    exact = &match;
  }
  return exact;
}

CatalogTable ReadTable(const arrow::RecordBatch& columns, const TableKey& key,
                       const std::vector<int64_t>& rows) {
  const TextColumn names(&columns, "column_name");
  const TextColumn types(&columns, "data_type");
  const TextColumn nullables(&columns, "is_nullable");
  const IntegerColumn ordinals(&columns, "ordinal_position");
  const IntegerColumn precisions(&columns, "numeric_precision");
  const IntegerColumn scales(&columns, "numeric_scale");
  CatalogTable table;
  table.name = {std::get<0>(key), std::get<1>(key), std::get<2>(key)};
  for (const int64_t row : rows) {
    CatalogColumn column;
    column.ordinal = ordinals.present() ? ordinals.at(row).value_or(-1)
                                        : static_cast<int64_t>(table.columns.size()) + 1;
    column.name = std::string(names.text_at(row));
    column.data_type = std::string(types.text_at(row));
    column.nullable = NullableText(nullables.at(row));
    column.precision = precisions.at(row).value_or(-1);
    column.scale = scales.at(row).value_or(-1);
    table.columns.push_back(std::move(column));
  }
  std::stable_sort(
      table.columns.begin(), table.columns.end(),
      [](const CatalogColumn& a, const CatalogColumn& b) { return a.ordinal < b.ordinal; });
  return table;
}

}  // namespace

std::shared_ptr<arrow::DataType> ArrowTypeForCatalogType(std::string_view data_type,
                                                         int64_t precision, int64_t scale) {
  const std::string t = ascii_lower(data_type);
  if (t == "smallint") return arrow::int16();
  if (t == "integer" || t == "int") return arrow::int32();
  if (t == "bigint") return arrow::int64();
  if (t == "tinyint") return arrow::int8();
  // The service's FLOAT is the 32-bit type, as REAL is.
  if (t == "real" || t == "float") return arrow::float32();
  if (t == "double precision" || t == "double") return arrow::float64();
  if (t == "boolean" || t == "bool") return arrow::boolean();
  if (t == "date") return arrow::date32();
  if (t == "time" || t == "time without time zone") return arrow::time64(arrow::TimeUnit::MICRO);
  if (t == "timestamp" || t == "timestamp without time zone")
    return arrow::timestamp(arrow::TimeUnit::MICRO);
  if (t == "varchar" || t == "text") return arrow::utf8();
  if (t == "binary" || t == "varbinary" || t == "bytea" || t == "blob") return arrow::binary();
  if (t == "numeric" || t == "decimal") return DecimalType(precision, scale);
  for (std::string_view name : {"numeric", "decimal"}) {
    if (t.size() > name.size() && t.compare(0, name.size(), name) == 0) {
      auto parameters = DecimalParameters(std::string_view(t).substr(name.size()));
      return parameters ? DecimalType(parameters->first, parameters->second) : nullptr;
    }
  }
  return nullptr;
}

CatalogTableSchema SchemaFromCatalogColumns(const arrow::RecordBatch& columns, const char* catalog,
                                            const char* db_schema, const char* table_name) {
  if (!TextColumn(&columns, "table_name").present() ||
      !TextColumn(&columns, "column_name").present() ||
      !TextColumn(&columns, "data_type").present()) {
    return {std::nullopt, nullptr, "snapshot lacks the columns relation's name or type columns"};
  }
  const auto matches = MatchingTables(columns, catalog, db_schema, table_name);
  if (matches.empty())
    return {std::nullopt, nullptr, "snapshot did not carry columns for this table"};
  const auto* chosen = ChooseTable(matches, catalog, db_schema, table_name);
  if (!chosen) return {std::nullopt, nullptr, "the name matches several tables"};

  CatalogTableSchema found{ReadTable(columns, chosen->first, chosen->second), nullptr, ""};
  arrow::FieldVector fields;
  for (const CatalogColumn& column : found.table->columns) {
    auto type = ArrowTypeForCatalogType(column.data_type, column.precision, column.scale);
    if (!type) {
      found.reason = "the snapshot does not determine the result type of " + column.data_type;
      return found;
    }
    fields.push_back(arrow::field(column.name, std::move(type), column.nullable));
  }
  found.schema = arrow::schema(std::move(fields));
  return found;
}

std::shared_ptr<arrow::Schema> WithCatalogNullability(
    const std::shared_ptr<arrow::Schema>& from_compute, const CatalogTable& table) {
  if (from_compute->num_fields() != static_cast<int>(table.columns.size())) return from_compute;
  arrow::FieldVector fields;
  for (int i = 0; i < from_compute->num_fields(); ++i) {
    const auto& field = from_compute->field(i);
    if (field->name() != table.columns[static_cast<size_t>(i)].name) return from_compute;
    fields.push_back(field->WithNullable(table.columns[static_cast<size_t>(i)].nullable));
  }
  return arrow::schema(std::move(fields), from_compute->metadata());
}

}  // namespace zv
