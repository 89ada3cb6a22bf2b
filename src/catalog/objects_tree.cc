#include "catalog/objects_tree.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>

#include "catalog/search_pattern_internal.h"
#include "catalog/snapshot_columns_internal.h"
#include "catalog/xdbc_type_info_internal.h"
#include "util/ascii.h"

namespace zv {

namespace {

using TableKey = std::tuple<std::string, std::string, std::string>;
// Constraint names are only unique within a table in some catalogs, so key
// columns are grouped by constraint and table together.
using ConstraintKey = std::tuple<std::string, std::string, std::string, TableKey>;

using ColumnsByTable = std::map<TableKey, std::vector<ColumnRecord>>;
using ConstraintName = std::tuple<std::string, std::string, std::string>;

struct KeyColumn {
  int64_t ordinal = 0;
  std::optional<int64_t> unique_position;  // foreign keys: the referenced key's ordinal
  std::string column;
};
using KeyColumns = std::map<ConstraintKey, std::vector<KeyColumn>>;
using ConstraintsByTable = std::map<TableKey, std::vector<ConstraintRecord>>;

std::string Text(const TextColumn& column, int64_t row) { return std::string(column.text_at(row)); }

std::optional<std::string> NonEmpty(const TextColumn& column, int64_t row) {
  auto value = column.at(row);
  if (!value || value->empty()) return std::nullopt;
  return std::string(*value);
}

bool IsYes(std::optional<std::string_view> value) { return value && ascii_iequals(*value, "YES"); }

bool IsNullableText(std::optional<std::string_view> value) {
  return !value || value->empty() || IsYes(value);
}

bool IsGeneratedText(std::optional<std::string_view> value) {
  return value && !value->empty() && !ascii_iequals(*value, "NEVER") &&
         !ascii_iequals(*value, "NO");
}

ColumnsByTable CollectColumns(const arrow::RecordBatch* batch, const char* column_filter) {
  ColumnsByTable columns;
  const TextColumn table_name(batch, "table_name");
  const TextColumn column_name(batch, "column_name");
  const TextColumn data_type(batch, "data_type");
  if (!table_name.present() || !column_name.present() || !data_type.present()) return columns;
  const TextColumn table_catalog(batch, "table_catalog");
  const TextColumn table_schema(batch, "table_schema");
  const IntegerColumn ordinal(batch, "ordinal_position");
  const TextColumn is_nullable(batch, "is_nullable");
  const TextColumn column_default(batch, "column_default");
  const TextColumn description(batch, "description");
  const IntegerColumn char_max_length(batch, "character_maximum_length");
  const IntegerColumn char_octet_length(batch, "character_octet_length");
  const IntegerColumn numeric_precision(batch, "numeric_precision");
  const IntegerColumn numeric_precision_radix(batch, "numeric_precision_radix");
  const IntegerColumn numeric_scale(batch, "numeric_scale");
  const TextColumn is_identity(batch, "is_identity");
  const TextColumn is_generated(batch, "is_generated");

  // Without ordinal_position a column's position is its place among all of
  // its table's rows, counted before the column filter so that filtering does
  // not renumber the columns that remain.
  std::map<TableKey, int64_t> rows_seen;
  for (int64_t row = 0; row < batch->num_rows(); ++row) {
    TableKey table{Text(table_catalog, row), Text(table_schema, row), Text(table_name, row)};
    const int64_t position = ++rows_seen[table];
    const std::string_view name = column_name.text_at(row);
    if (!MatchesSearchPattern(column_filter, name)) continue;
    ColumnRecord record;
    record.ordinal = ordinal.present() ? ordinal.at(row).value_or(-1) : position;
    record.name = std::string(name);
    record.data_type = Text(data_type, row);
    record.nullable = IsNullableText(is_nullable.at(row));
    record.default_value = NonEmpty(column_default, row);
    record.description = NonEmpty(description, row);
    record.character_maximum_length = char_max_length.at(row);
    record.character_octet_length = char_octet_length.at(row);
    record.numeric_precision = numeric_precision.at(row);
    record.numeric_precision_radix = numeric_precision_radix.at(row);
    record.numeric_scale = numeric_scale.at(row);
    record.is_identity = IsYes(is_identity.at(row));
    record.is_generated = IsGeneratedText(is_generated.at(row));
    columns[std::move(table)].push_back(std::move(record));
  }
  for (auto& [table, records] : columns) {
    std::stable_sort(
        records.begin(), records.end(),
        [](const ColumnRecord& a, const ColumnRecord& b) { return a.ordinal < b.ordinal; });
  }
  return columns;
}

KeyColumns CollectKeyColumns(const arrow::RecordBatch* batch) {
  KeyColumns keys;
  const TextColumn constraint_catalog(batch, "constraint_catalog");
  const TextColumn constraint_schema(batch, "constraint_schema");
  const TextColumn constraint_name(batch, "constraint_name");
  const TextColumn column_name(batch, "column_name");
  if (!constraint_catalog.present() || !constraint_schema.present() || !constraint_name.present() ||
      !column_name.present()) {
    return keys;
  }
  const IntegerColumn ordinal(batch, "ordinal_position");
  const IntegerColumn unique_position(batch, "position_in_unique_constraint");
  const TextColumn table_catalog(batch, "table_catalog");
  const TextColumn table_schema(batch, "table_schema");
  const TextColumn table_name(batch, "table_name");
  const bool has_table = table_catalog.present() && table_schema.present() && table_name.present();
  for (int64_t row = 0; row < batch->num_rows(); ++row) {
    TableKey table;
    if (has_table)
      table = {Text(table_catalog, row), Text(table_schema, row), Text(table_name, row)};
    ConstraintKey key{Text(constraint_catalog, row), Text(constraint_schema, row),
                      Text(constraint_name, row), std::move(table)};
    keys[std::move(key)].push_back(
        KeyColumn{ordinal.at(row).value_or(0), unique_position.at(row), Text(column_name, row)});
  }
  for (auto& [key, list] : keys) {
    std::stable_sort(list.begin(), list.end(),
                     [](const KeyColumn& a, const KeyColumn& b) { return a.ordinal < b.ordinal; });
  }
  return keys;
}

// Foreign key -> the unique or primary key it references, each named by
// (catalog, schema, constraint name).
std::map<ConstraintName, ConstraintName> CollectReferences(const arrow::RecordBatch* batch) {
  std::map<ConstraintName, ConstraintName> references;
  if (batch == nullptr) return references;
  const TextColumn catalog(batch, "constraint_catalog");
  const TextColumn schema(batch, "constraint_schema");
  const TextColumn name(batch, "constraint_name");
  const TextColumn unique_catalog(batch, "unique_constraint_catalog");
  const TextColumn unique_schema(batch, "unique_constraint_schema");
  const TextColumn unique_name(batch, "unique_constraint_name");
  if (!catalog.present() || !schema.present() || !name.present() || !unique_catalog.present() ||
      !unique_schema.present() || !unique_name.present()) {
    return references;
  }
  for (int64_t row = 0; row < batch->num_rows(); ++row) {
    if (!unique_name.at(row)) continue;
    references.emplace(ConstraintName{Text(catalog, row), Text(schema, row), Text(name, row)},
                       ConstraintName{Text(unique_catalog, row), Text(unique_schema, row),
                                      Text(unique_name, row)});
  }
  return references;
}

// The referenced column of each foreign-key column, in key order. Nothing when
// the referenced key is unknown, names several tables, or a position does not
// match one of its columns: a guess would point the host at the wrong column.
std::optional<std::vector<ForeignKeyUsage>> ResolveUsage(
    const std::vector<KeyColumn>& foreign_columns, const ConstraintName& referenced,
    const KeyColumns& keys) {
  const auto& [catalog, schema, name] = referenced;
  const auto first = keys.lower_bound(ConstraintKey{catalog, schema, name, TableKey{}});
  if (first == keys.end() || std::get<0>(first->first) != catalog ||
      std::get<1>(first->first) != schema || std::get<2>(first->first) != name) {
    return std::nullopt;
  }
  if (auto next = std::next(first); next != keys.end() && std::get<0>(next->first) == catalog &&
                                    std::get<1>(next->first) == schema &&
                                    std::get<2>(next->first) == name) {
    return std::nullopt;
  }
  const TableKey& target = std::get<3>(first->first);
  if (std::get<2>(target).empty()) return std::nullopt;
  std::vector<ForeignKeyUsage> usage;
  for (size_t i = 0; i < foreign_columns.size(); ++i) {
    // Without a position the n-th foreign column references the n-th key column.
    const int64_t position =
        foreign_columns[i].unique_position.value_or(static_cast<int64_t>(i) + 1);
    const auto match = std::find_if(first->second.begin(), first->second.end(),
                                    [&](const KeyColumn& k) { return k.ordinal == position; });
    if (match == first->second.end()) return std::nullopt;
    usage.push_back(ForeignKeyUsage{std::get<0>(target), std::get<1>(target), std::get<2>(target),
                                    match->column});
  }
  return usage;
}

ConstraintsByTable CollectConstraints(const arrow::RecordBatch* batch,
                                      const arrow::RecordBatch* key_column_usage,
                                      const arrow::RecordBatch* referential_constraints) {
  ConstraintsByTable constraints;
  const TextColumn table_catalog(batch, "table_catalog");
  const TextColumn table_schema(batch, "table_schema");
  const TextColumn table_name(batch, "table_name");
  const TextColumn constraint_name(batch, "constraint_name");
  const TextColumn constraint_type(batch, "constraint_type");
  if (!table_catalog.present() || !table_schema.present() || !table_name.present() ||
      !constraint_name.present() || !constraint_type.present()) {
    return constraints;
  }
  const TextColumn constraint_catalog(batch, "constraint_catalog");
  const TextColumn constraint_schema(batch, "constraint_schema");
  const KeyColumns keys = key_column_usage ? CollectKeyColumns(key_column_usage) : KeyColumns{};
  const auto references = CollectReferences(referential_constraints);
  const bool keys_have_table = key_column_usage &&
                               TextColumn(key_column_usage, "table_catalog").present() &&
                               TextColumn(key_column_usage, "table_schema").present() &&
                               TextColumn(key_column_usage, "table_name").present();
  for (int64_t row = 0; row < batch->num_rows(); ++row) {
    TableKey table{Text(table_catalog, row), Text(table_schema, row), Text(table_name, row)};
    ConstraintRecord record;
    record.name = Text(constraint_name, row);
    record.type = Text(constraint_type, row);
    ConstraintName id{Text(constraint_catalog, row), Text(constraint_schema, row), record.name};
    ConstraintKey key{std::get<0>(id), std::get<1>(id), std::get<2>(id),
                      keys_have_table ? table : TableKey{}};
    if (auto found = keys.find(key); found != keys.end()) {
      for (const KeyColumn& column : found->second) record.column_names.push_back(column.column);
      if (auto referenced = references.find(id);
          referenced != references.end() && ascii_iequals(record.type, "FOREIGN KEY")) {
        record.usage = ResolveUsage(found->second, referenced->second, keys);
      }
    }
    constraints[std::move(table)].push_back(std::move(record));
  }
  return constraints;
}

bool TypeAccepted(const char* const* table_types, const char* normalised) {
  if (table_types == nullptr || table_types[0] == nullptr) return true;
  for (const char* const* type = table_types; *type != nullptr; ++type) {
    if (ascii_iequals(*type, normalised)) return true;
  }
  return false;
}

template <typename Node>
Node& FindOrAdd(std::vector<Node>& nodes, std::map<std::string, size_t>& index,
                const std::string& name) {
  auto [it, inserted] = index.emplace(name, nodes.size());
  if (inserted) {
    nodes.emplace_back();
    nodes.back().name = name;
  }
  return nodes[it->second];
}

// Catalogs and schemas that hold no table are known from the catalogs and
// schemata relations only.
void AddTablelessCatalogs(const ObjectsSources& sources, const ObjectsFilter& filter,
                          std::vector<CatalogNode>& catalogs,
                          std::map<std::string, size_t>& catalog_index,
                          std::map<std::string, std::map<std::string, size_t>>& schema_index) {
  if (sources.schemata) {
    const TextColumn catalog_name(sources.schemata.get(), "catalog_name");
    const TextColumn schema_name(sources.schemata.get(), "schema_name");
    for (int64_t row = 0; schema_name.present() && row < sources.schemata->num_rows(); ++row) {
      const std::string catalog = Text(catalog_name, row);
      const std::string schema = Text(schema_name, row);
      if (!MatchesSearchPattern(filter.catalog, catalog) ||
          !MatchesSearchPattern(filter.db_schema, schema)) {
        continue;
      }
      FindOrAdd(FindOrAdd(catalogs, catalog_index, catalog).schemas, schema_index[catalog], schema);
    }
  }
  // A catalog without schemas matches a schema filter only when there is none.
  const bool schema_filtered = filter.db_schema != nullptr && filter.db_schema[0] != '\0';
  if (sources.catalogs && !schema_filtered) {
    const TextColumn catalog_name(sources.catalogs.get(), "catalog_name");
    for (int64_t row = 0; catalog_name.present() && row < sources.catalogs->num_rows(); ++row) {
      const std::string catalog = Text(catalog_name, row);
      if (MatchesSearchPattern(filter.catalog, catalog))
        FindOrAdd(catalogs, catalog_index, catalog);
    }
  }
}

}  // namespace

ObjectsDepth ClassifyDepth(int depth) {
  if (depth == 0) return ObjectsDepth::kAll;
  if (depth == 2) return ObjectsDepth::kSchemas;
  if (depth >= 3) return ObjectsDepth::kTables;
  return ObjectsDepth::kCatalogs;
}

std::optional<std::vector<CatalogNode>> CollectObjects(const ObjectsSources& sources,
                                                       const ObjectsFilter& filter) {
  std::vector<CatalogNode> catalogs;
  std::map<std::string, size_t> catalog_index;
  std::map<std::string, std::map<std::string, size_t>> schema_index;
  const ObjectsDepth depth = ClassifyDepth(filter.depth);
  const bool table_filtered = (filter.table_name != nullptr && filter.table_name[0] != '\0') ||
                              (filter.table_types != nullptr && filter.table_types[0] != nullptr);
  const bool lists_tableless =
      (depth == ObjectsDepth::kCatalogs || depth == ObjectsDepth::kSchemas) && !table_filtered;
  const arrow::RecordBatch* tables = sources.tables.get();
  if (tables == nullptr || tables->num_rows() == 0) {
    // A catalog holding no table at all still has its catalogs and schemas.
    if (!lists_tableless) return std::nullopt;
    AddTablelessCatalogs(sources, filter, catalogs, catalog_index, schema_index);
    return catalogs;
  }
  const TextColumn table_catalog(tables, "table_catalog");
  const TextColumn table_schema(tables, "table_schema");
  const TextColumn table_name(tables, "table_name");
  const TextColumn table_type(tables, "table_type");
  if (!table_catalog.present() || !table_schema.present() || !table_name.present() ||
      !table_type.present()) {
    return std::nullopt;
  }

  // Columns and constraints only feed the deeper levels; skipping them
  // elsewhere changes nothing in the result.
  const ColumnsByTable columns = depth == ObjectsDepth::kAll && sources.columns
                                     ? CollectColumns(sources.columns.get(), filter.column_name)
                                     : ColumnsByTable{};
  const ConstraintsByTable constraints =
      depth == ObjectsDepth::kAll && sources.table_constraints
          ? CollectConstraints(sources.table_constraints.get(), sources.key_column_usage.get(),
                               sources.referential_constraints.get())
          : ConstraintsByTable{};

  for (int64_t row = 0; row < tables->num_rows(); ++row) {
    TableNode table;
    table.catalog = Text(table_catalog, row);
    table.schema = Text(table_schema, row);
    table.name = Text(table_name, row);
    table.type = NormaliseTableType(table_type.text_at(row));
    if (!MatchesSearchPattern(filter.catalog, table.catalog) ||
        !MatchesSearchPattern(filter.db_schema, table.schema) ||
        !MatchesSearchPattern(filter.table_name, table.name) ||
        !TypeAccepted(filter.table_types, table.type.c_str())) {
      continue;
    }
    const TableKey key{table.catalog, table.schema, table.name};
    if (auto found = columns.find(key); found != columns.end()) table.columns = found->second;
    if (auto found = constraints.find(key); found != constraints.end()) {
      table.constraints = found->second;
    }
    CatalogNode& catalog = FindOrAdd(catalogs, catalog_index, table.catalog);
    SchemaNode& schema = FindOrAdd(catalog.schemas, schema_index[table.catalog], table.schema);
    schema.tables.push_back(std::move(table));
  }
  if (lists_tableless) AddTablelessCatalogs(sources, filter, catalogs, catalog_index, schema_index);
  return catalogs;
}

}  // namespace zv
