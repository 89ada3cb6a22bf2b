#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/record_batch.h>
#include <arrow/scalar.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "catalog/objects_batch.h"
#include "catalog/objects_tree.h"
#include "catalog/search_pattern_internal.h"
#include "catalog/xdbc_type_info_internal.h"

namespace {

using zv::CatalogNode;
using zv::ObjectsDepth;
using zv::ObjectsFilter;
using zv::ObjectsSources;

// A hand-made snapshot relation: one column per name, typed by its first
// non-null cell (text: utf8, number: int32 unless given as int64 type).
using Cell = std::variant<std::monostate, std::string, int64_t>;
const Cell kNull{};

std::shared_ptr<arrow::RecordBatch> Relation(const std::vector<std::string>& names,
                                             const std::vector<std::vector<Cell>>& rows) {
  std::vector<std::shared_ptr<arrow::Field>> fields;
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (size_t c = 0; c < names.size(); ++c) {
    bool numeric = false;
    for (const auto& row : rows) {
      if (std::holds_alternative<int64_t>(row[c])) numeric = true;
    }
    std::shared_ptr<arrow::Array> array;
    if (numeric) {
      arrow::Int32Builder b;
      for (const auto& row : rows) {
        auto* v = std::get_if<int64_t>(&row[c]);
        EXPECT_TRUE((v ? b.Append(static_cast<int32_t>(*v)) : b.AppendNull()).ok());
      }
      EXPECT_TRUE(b.Finish(&array).ok());
    } else {
      arrow::StringBuilder b;
      for (const auto& row : rows) {
        auto* v = std::get_if<std::string>(&row[c]);
        EXPECT_TRUE((v ? b.Append(*v) : b.AppendNull()).ok());
      }
      EXPECT_TRUE(b.Finish(&array).ok());
    }
    fields.push_back(arrow::field(names[c], array->type()));
    arrays.push_back(array);
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), static_cast<int64_t>(rows.size()), arrays);
}

const std::vector<std::string> kTableCols = {"table_catalog", "table_schema", "table_name",
                                             "table_type"};

// The demo shape: two catalogs, a view, a table with an empty type.
ObjectsSources Demo() {
  ObjectsSources s;
  s.tables = Relation(kTableCols, {{"zv", "sales", "orders", "BASE TABLE"},
                                   {"zv", "sales", "order_totals", "view"},
                                   {"zv", "hr", "staff", ""},
                                   {"other", "sales", "customers", "SYSTEM"}});
  s.columns = Relation({"table_catalog", "table_schema", "table_name", "column_name",
                        "ordinal_position", "data_type", "is_nullable"},
                       {{"zv", "sales", "orders", "status", int64_t{2}, "VARCHAR", "YES"},
                        {"zv", "sales", "orders", "order_id", int64_t{1}, "INTEGER", "NO"},
                        {"zv", "sales", "order_totals", "total", int64_t{1}, "DECIMAL", "YES"}});
  s.table_constraints =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name", "table_catalog",
                "table_schema", "table_name", "constraint_type"},
               {{"zv", "sales", "orders_pk", "zv", "sales", "orders", "PRIMARY KEY"}});
  s.key_column_usage =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name", "table_catalog",
                "table_schema", "table_name", "column_name", "ordinal_position"},
               {{"zv", "sales", "orders_pk", "zv", "sales", "orders", "order_id", int64_t{1}}});
  return s;
}

std::vector<CatalogNode> Collect(const ObjectsSources& s, ObjectsFilter f = {}) {
  auto catalogs = zv::CollectObjects(s, f);
  EXPECT_TRUE(catalogs.has_value());
  return catalogs.value_or(std::vector<CatalogNode>{});
}

std::vector<std::string> TablePaths(const std::vector<CatalogNode>& catalogs) {
  std::vector<std::string> paths;
  for (const auto& c : catalogs) {
    for (const auto& s : c.schemas) {
      for (const auto& t : s.tables) paths.push_back(c.name + "." + s.name + "." + t.name);
    }
  }
  return paths;
}

// Navigation in the nested result.
std::shared_ptr<arrow::Array> Field(const std::shared_ptr<arrow::Array>& structs,
                                    const char* name) {
  return std::static_pointer_cast<arrow::StructArray>(structs)->GetFieldByName(name);
}
std::shared_ptr<arrow::Array> Items(const std::shared_ptr<arrow::Array>& lists, int64_t i) {
  return std::static_pointer_cast<arrow::ListArray>(lists)->value_slice(i);
}
std::string ScalarText(const std::shared_ptr<arrow::Array>& array, int64_t i) {
  return (*array->GetScalar(i))->ToString();
}

std::shared_ptr<arrow::RecordBatch> Build(const std::vector<CatalogNode>& catalogs,
                                          ObjectsDepth depth) {
  auto batch = zv::BuildObjectsBatch(catalogs, depth);
  EXPECT_TRUE(batch.ok()) << batch.status();
  EXPECT_TRUE((*batch)->ValidateFull().ok());
  return *batch;
}

// The columns of the first table of the first schema of the first catalog.
std::shared_ptr<arrow::Array> FirstTableColumns(const arrow::RecordBatch& batch) {
  auto schemas = Items(batch.column(1), 0);
  auto tables = Items(Field(schemas, "db_schema_tables"), 0);
  return Items(Field(tables, "table_columns"), 0);
}

TEST(GetObjectsPattern, MatchesWholeValueIgnoringAsciiCase) {
  struct Case {
    const char* pattern;
    const char* value;
    bool matches;
  } cases[] = {
      {nullptr, "anything", true}, {"", "anything", true},    {"ORD%", "orders", true},
      {"ORD%", "ord", true},       {"ORD%", "border", false}, {"orders", "ORDERS", true},
      {"order", "orders", false},  {"a\\_b", "a_b", true},    {"a\\_b", "axb", false},
      {"a_b", "axb", true},        {"_", "", false},          {"%", "", true},
      {"a%b%c", "aXXbYc", true},   {"a%b%c", "aXXbY", false}, {"%ab", "aab", true},
      {"ab\\", "ab\\", true},      {"ab\\", "ab", false},     {"100\\%", "100%", true},
      {"100\\%", "1000", false},   {"%\\\\%", "a\\b", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::MatchesSearchPattern(c.pattern, c.value), c.matches)
        << (c.pattern ? c.pattern : "(null)") << " vs " << c.value;
  }
}

TEST(GetObjectsPattern, HostilePatternsStayCheap) {
  const std::string value(20000, 'a');
  const std::string pattern = std::string(200, '%') + std::string(50, 'a') + "b";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(zv::MatchesSearchPattern(pattern.c_str(), value));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(GetObjectsTypes, DataTypeDefaults) {
  struct Case {
    const char* data_type;
    int16_t sql_type;
    int32_t size;
  } cases[] = {
      {"INTEGER", 4, 10},
      {"int", 4, 10},
      {"uuid", 12, 36},
      {"VARCHAR(100)", 12, 256},
      {"character varying(20)", 12, 256},
      {"character", 1, 1},
      {"char(4)", 1, 1},
      {"time with time zone", 92, 15},
      {"timestamp with time zone", 95, 32},
      {"timestamptz(3)", 95, 32},
      {"TIMESTAMP(6)", 93, 26},
      {"bytea(10)", -3, 65535},
      {"BLOB", -3, 65535},
      {"numeric(10,2)", 3, -1},
      {"DECIMAL(12,2)", 3, -1},
      {"FLOAT", 7, 24},  // the service's FLOAT is 32-bit
      {"DOUBLE", 8, 53},
      {"BOOLEAN", -7, 1},
      {"bit", -7, 1},
      {"json", 12, 65535},
      {"HUGEINT", 12, 65535},
      {"", 12, 65535},
  };
  for (const auto& c : cases) {
    const auto info = zv::XdbcTypeInfoFor(c.data_type);
    EXPECT_EQ(info.sql_type, c.sql_type) << c.data_type;
    EXPECT_EQ(info.column_size, c.size) << c.data_type;
  }
}

TEST(GetObjectsTypes, TableTypeNormalisation) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "BASE TABLE"},
      {"view", "VIEW"},
      {"Base Table", "BASE TABLE"},
      {"system", "SYSTEM TABLE"},
      {"SYSTEM TABLE", "SYSTEM TABLE"},
      {"local temporary", "LOCAL TEMPORARY"},
      {"GLOBAL TEMPORARY", "GLOBAL TEMPORARY"},
      {"VIEWS", "BASE TABLE"},
      {"materialized view", "BASE TABLE"},
  };
  for (const auto& [text, normalised] : cases) {
    EXPECT_STREQ(zv::NormaliseTableType(text), normalised) << text;
  }
}

TEST(GetObjectsFilters, SelectTablesAndOnlyTheirCatalogsAndSchemas) {
  const char* views[] = {"view", nullptr};
  const char* base[] = {"BASE TABLE", nullptr};
  const char* none[] = {nullptr};
  struct Case {
    const char* catalog;
    const char* schema;
    const char* table;
    const char* const* types;
    std::vector<std::string> expected;
  } cases[] = {
      {nullptr,
       nullptr,
       nullptr,
       nullptr,
       {"zv.sales.orders", "zv.sales.order_totals", "zv.hr.staff", "other.sales.customers"}},
      {"",
       "",
       "",
       none,
       {"zv.sales.orders", "zv.sales.order_totals", "zv.hr.staff", "other.sales.customers"}},
      {nullptr, nullptr, "ORD%", nullptr, {"zv.sales.orders", "zv.sales.order_totals"}},
      {"ZV", "h_", nullptr, nullptr, {"zv.hr.staff"}},
      {nullptr, nullptr, nullptr, views, {"zv.sales.order_totals"}},
      {nullptr, nullptr, nullptr, base, {"zv.sales.orders", "zv.hr.staff"}},
      {"other", nullptr, nullptr, views, {}},
      {nullptr, "sales", "cust%", nullptr, {"other.sales.customers"}},
  };
  for (const auto& c : cases) {
    ObjectsFilter f;
    f.catalog = c.catalog;
    f.db_schema = c.schema;
    f.table_name = c.table;
    f.table_types = c.types;
    EXPECT_EQ(TablePaths(Collect(Demo(), f)), c.expected)
        << (c.table ? c.table : "") << " " << (c.catalog ? c.catalog : "");
  }
}

TEST(GetObjectsFilters, ColumnFilterKeepsPositionsAndEmptiesOtherTables) {
  ObjectsSources s = Demo();
  ObjectsFilter f;
  f.column_name = "nothing%";
  const auto tree = Collect(s, f);  // a range-for over a temporary's member would dangle
  for (const auto& t : tree[0].schemas[0].tables) EXPECT_TRUE(t.columns.empty());

  // Without ordinal_position a column keeps its place among all its table's
  // rows, whatever the filter leaves.
  s.columns = Relation({"table_catalog", "table_schema", "table_name", "column_name", "data_type"},
                       {{"zv", "sales", "orders", "a", "int"},
                        {"zv", "sales", "orders", "b", "int"},
                        {"zv", "sales", "orders", "c", "int"}});
  f.column_name = "C";
  auto columns = Collect(s, f)[0].schemas[0].tables[0].columns;
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0].name, "c");
  EXPECT_EQ(columns[0].ordinal, 3);
}

TEST(GetObjectsTree, NestingFollowsDepth) {
  struct Case {
    int depth;
    bool schemas_null, tables_null, columns_null;
  } cases[] = {
      {0, false, false, false}, {1, true, true, true},   {-1, true, true, true},
      {2, false, true, true},   {3, false, false, true}, {7, false, false, true},
  };
  for (const auto& c : cases) {
    ObjectsFilter f;
    f.depth = c.depth;
    f.table_name = "orders";
    auto batch = Build(Collect(Demo(), f), zv::ClassifyDepth(c.depth));
    ASSERT_EQ(batch->num_rows(), 1) << c.depth;
    EXPECT_EQ(ScalarText(batch->column(0), 0), "zv");
    ASSERT_EQ(batch->column(1)->IsNull(0), c.schemas_null) << c.depth;
    if (c.schemas_null) continue;
    auto schemas = Items(batch->column(1), 0);
    EXPECT_EQ(ScalarText(Field(schemas, "db_schema_name"), 0), "sales");
    auto tables_list = Field(schemas, "db_schema_tables");
    ASSERT_EQ(tables_list->IsNull(0), c.tables_null) << c.depth;
    if (c.tables_null) continue;
    auto tables = Items(tables_list, 0);
    EXPECT_EQ(ScalarText(Field(tables, "table_type"), 0), "BASE TABLE");
    EXPECT_EQ(Field(tables, "table_columns")->IsNull(0), c.columns_null) << c.depth;
    // Constraints, like columns, belong to depth "all" only.
    EXPECT_EQ(Field(tables, "table_constraints")->IsNull(0), c.columns_null) << c.depth;
    if (c.columns_null) continue;
    auto constraints = Items(Field(tables, "table_constraints"), 0);
    ASSERT_EQ(constraints->length(), 1) << c.depth;
    EXPECT_EQ(ScalarText(Field(constraints, "constraint_type"), 0), "PRIMARY KEY");
    EXPECT_TRUE(Field(constraints, "constraint_column_usage")->IsNull(0));
  }
}

TEST(GetObjectsTree, MissingOrIncompleteRelationsNeverFail) {
  ObjectsSources none;
  EXPECT_FALSE(zv::CollectObjects(none, {}).has_value());

  ObjectsSources no_type = Demo();
  no_type.tables = Relation({"table_catalog", "table_schema", "table_name"}, {{"a", "b", "c"}});
  EXPECT_FALSE(zv::CollectObjects(no_type, {}).has_value());

  ObjectsSources no_rows = Demo();
  no_rows.tables = Relation(kTableCols, {});
  EXPECT_FALSE(zv::CollectObjects(no_rows, {}).has_value());

  // A relation whose column has an unexpected type is read as lacking it.
  ObjectsSources mistyped = Demo();
  mistyped.tables = Relation(kTableCols, {{"zv", "sales", int64_t{7}, "VIEW"}});
  EXPECT_FALSE(zv::CollectObjects(mistyped, {}).has_value());

  ObjectsSources partial = Demo();
  partial.columns = Relation({"table_name", "column_name"}, {{"orders", "x"}});
  partial.table_constraints = nullptr;
  auto catalogs = Collect(partial);
  ASSERT_EQ(TablePaths(catalogs).size(), 4u);
  EXPECT_TRUE(catalogs[0].schemas[0].tables[0].columns.empty());
  EXPECT_TRUE(catalogs[0].schemas[0].tables[0].constraints.empty());
}

TEST(GetObjectsTree, NullNamesBecomeEmptyTextAndFirstSeenOrderHolds) {
  ObjectsSources s;
  s.tables =
      Relation(kTableCols,
               {{kNull, kNull, "t1", kNull}, {"b", "s", "t2", "VIEW"}, {kNull, "s", "t3", "VIEW"}});
  auto catalogs = Collect(s);
  ASSERT_EQ(catalogs.size(), 2u);
  EXPECT_EQ(catalogs[0].name, "");
  ASSERT_EQ(catalogs[0].schemas.size(), 2u);
  EXPECT_EQ(catalogs[0].schemas[0].name, "");
  EXPECT_EQ(catalogs[0].schemas[0].tables[0].type, "BASE TABLE");
  EXPECT_EQ(catalogs[1].name, "b");
  auto batch = Build(catalogs, ObjectsDepth::kCatalogs);
  EXPECT_FALSE(batch->column(0)->IsNull(0));
}

TEST(GetObjectsConstraints, KeyColumnsInOrdinalOrderPerTable) {
  ObjectsSources s = Demo();
  s.tables = Relation(
      kTableCols, {{"zv", "sales", "items", "BASE TABLE"}, {"zv", "sales", "lines", "BASE TABLE"}});
  s.table_constraints = Relation({"constraint_catalog", "constraint_schema", "constraint_name",
                                  "table_catalog", "table_schema", "table_name", "constraint_type"},
                                 {{"zv", "sales", "pk", "zv", "sales", "items", "PRIMARY KEY"},
                                  {"zv", "sales", "chk", "zv", "sales", "items", "CHECK"},
                                  {"zv", "sales", "pk", "zv", "sales", "lines", "PRIMARY KEY"}});
  s.key_column_usage =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name", "table_catalog",
                "table_schema", "table_name", "column_name", "ordinal_position"},
               {{"zv", "sales", "pk", "zv", "sales", "items", "line_no", int64_t{2}},
                {"zv", "sales", "pk", "zv", "sales", "items", "order_id", int64_t{1}},
                {"zv", "sales", "pk", "zv", "sales", "lines", "line_id", int64_t{1}}});
  auto tables = Collect(s)[0].schemas[0].tables;
  ASSERT_EQ(tables[0].constraints.size(), 2u);
  EXPECT_EQ(tables[0].constraints[0].column_names,
            (std::vector<std::string>{"order_id", "line_no"}));
  EXPECT_TRUE(tables[0].constraints[1].column_names.empty());
  EXPECT_EQ(tables[1].constraints[0].column_names, std::vector<std::string>{"line_id"});

  // Without table columns in key_column_usage, constraints group by name.
  s.key_column_usage =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name", "column_name"},
               {{"zv", "sales", "pk", "b"}, {"zv", "sales", "pk", "a"}});
  EXPECT_EQ(Collect(s)[0].schemas[0].tables[0].constraints[0].column_names,
            (std::vector<std::string>{"b", "a"}));
}

TEST(GetObjectsColumns, XdbcValuesFromSnapshotAndTypeDefaults) {
  ObjectsSources s = Demo();
  s.tables = Relation(kTableCols, {{"zv", "sales", "t", "BASE TABLE"}});
  s.columns = Relation({"table_catalog", "table_schema", "table_name", "column_name",
                        "ordinal_position", "data_type", "is_nullable", "column_default",
                        "description", "character_maximum_length", "numeric_precision",
                        "numeric_precision_radix", "numeric_scale", "is_identity", "is_generated"},
                       {{"zv", "sales", "t", "price", int64_t{5}, "DECIMAL", "NO", "", "", kNull,
                         int64_t{10}, int64_t{10}, int64_t{2}, "no", "NEVER"},
                        {"zv", "sales", "t", "code", int64_t{1}, "varchar(100)", kNull, "'x'",
                         "a code", int64_t{100}, kNull, kNull, kNull, "YES", "ALWAYS"},
                        {"zv", "sales", "t", "id", int64_t{2}, "uuid", "yes", kNull, kNull, kNull,
                         kNull, kNull, kNull, kNull, kNull},
                        {"zv", "sales", "t", "n", int64_t{3}, "integer", "NO", kNull, kNull, kNull,
                         kNull, kNull, kNull, kNull, ""},
                        {"zv", "sales", "t", "huge", int64_t{4}, "text", "NO", kNull, kNull,
                         int64_t{2000000000}, kNull, kNull, int64_t{40000}, kNull, kNull},
                        {"zv", "sales", "t", "at", kNull, "date", "NO", kNull, kNull, kNull, kNull,
                         kNull, kNull, kNull, kNull}});
  auto cols = FirstTableColumns(*Build(Collect(s), ObjectsDepth::kAll));
  struct Expect {
    const char* field;
    std::vector<std::string> values;  // in ordinal order: at(-1), code, id, n, huge, price
  } expects[] = {
      {"column_name", {"at", "code", "id", "n", "huge", "price"}},
      {"ordinal_position", {"-1", "1", "2", "3", "4", "5"}},
      {"xdbc_column_size", {"10", "100", "36", "10", "2000000000", "10"}},
      {"xdbc_decimal_digits", {"0", "null", "null", "0", "null", "2"}},
      {"xdbc_num_prec_radix", {"null", "null", "null", "10", "null", "10"}},
      {"xdbc_char_octet_length", {"null", "1024", "144", "null", "1024", "null"}},
      {"xdbc_data_type", {"91", "12", "12", "4", "12", "3"}},
      {"xdbc_datetime_sub", {"91", "null", "null", "null", "null", "null"}},
      {"xdbc_nullable", {"0", "1", "1", "0", "0", "0"}},
      {"xdbc_is_nullable", {"NO", "YES", "YES", "NO", "NO", "NO"}},
      {"xdbc_column_def", {"null", "'x'", "null", "null", "null", "null"}},
      {"remarks", {"null", "a code", "null", "null", "null", "null"}},
      {"xdbc_is_autoincrement", {"false", "true", "false", "false", "false", "false"}},
      {"xdbc_is_generatedcolumn", {"false", "true", "false", "false", "false", "false"}},
      {"xdbc_scope_table", {"t", "t", "t", "t", "t", "t"}},
  };
  ASSERT_EQ(cols->length(), 6);
  for (const auto& e : expects) {
    auto array = Field(cols, e.field);
    ASSERT_NE(array, nullptr) << e.field;
    for (int64_t i = 0; i < cols->length(); ++i) {
      EXPECT_EQ(array->IsNull(i) ? "null" : ScalarText(array, i), e.values[i])
          << e.field << " row " << i;
    }
  }
}

TEST(GetObjectsBatch, EmptyResultCarriesTheFullSchema) {
  auto empty = zv::BuildEmptyObjectsBatch();
  ASSERT_TRUE(empty.ok()) << empty.status();
  EXPECT_EQ((*empty)->num_rows(), 0);
  EXPECT_TRUE((*empty)->schema()->Equals(*zv::GetObjectsSchema()));
  auto none = Build({}, ObjectsDepth::kAll);
  EXPECT_EQ(none->num_rows(), 0);
  EXPECT_TRUE(none->schema()->Equals(*zv::GetObjectsSchema()));
}

// A composite foreign key whose columns are listed in another order than the
// referenced key: each key column must point at its own referenced column.
TEST(GetObjectsTree, ForeignKeysNameTheirReferencedColumnsInKeyOrder) {
  ObjectsSources s;
  s.tables = Relation(kTableCols, {{"zv", "s", "parent", "BASE TABLE"},
                                   {"zv", "s", "child", "BASE TABLE"},
                                   {"zv", "t", "twin", "BASE TABLE"}});
  const std::vector<std::string> constraint_cols = {
      "constraint_catalog", "constraint_schema", "constraint_name", "table_catalog",
      "table_schema",       "table_name",        "constraint_type"};
  s.table_constraints =
      Relation(constraint_cols, {{"zv", "s", "parent_pk", "zv", "s", "parent", "PRIMARY KEY"},
                                 {"zv", "s", "child_fk", "zv", "s", "child", "FOREIGN KEY"},
                                 {"zv", "t", "twin_fk", "zv", "t", "twin", "FOREIGN KEY"}});
  s.key_column_usage =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name", "table_catalog",
                "table_schema", "table_name", "column_name", "ordinal_position",
                "position_in_unique_constraint"},
               {{"zv", "s", "parent_pk", "zv", "s", "parent", "a", int64_t{1}, kNull},
                {"zv", "s", "parent_pk", "zv", "s", "parent", "b", int64_t{2}, kNull},
                {"zv", "s", "child_fk", "zv", "s", "child", "y", int64_t{1}, int64_t{2}},
                {"zv", "s", "child_fk", "zv", "s", "child", "x", int64_t{2}, int64_t{1}},
                {"zv", "t", "twin_fk", "zv", "t", "twin", "q", int64_t{1}, int64_t{1}}});
  s.referential_constraints =
      Relation({"constraint_catalog", "constraint_schema", "constraint_name",
                "unique_constraint_catalog", "unique_constraint_schema", "unique_constraint_name"},
               {{"zv", "s", "child_fk", "zv", "s", "parent_pk"},
                // References a key the snapshot does not hold: the usage stays unknown.
                {"zv", "t", "twin_fk", "zv", "t", "missing_pk"}});

  auto catalogs = Collect(s);
  ASSERT_EQ(catalogs.size(), 1u);
  const auto& tables = catalogs[0].schemas[0].tables;
  ASSERT_EQ(tables.size(), 2u);
  const auto& parent_pk = tables[0].constraints.at(0);
  EXPECT_FALSE(parent_pk.usage.has_value());
  const auto& child_fk = tables[1].constraints.at(0);
  EXPECT_EQ(child_fk.column_names, (std::vector<std::string>{"y", "x"}));
  ASSERT_TRUE(child_fk.usage.has_value());
  ASSERT_EQ(child_fk.usage->size(), 2u);
  EXPECT_EQ((*child_fk.usage)[0].table, "parent");
  EXPECT_EQ((*child_fk.usage)[0].column, "b");
  EXPECT_EQ((*child_fk.usage)[1].column, "a");
  EXPECT_FALSE(catalogs[0].schemas[1].tables[0].constraints.at(0).usage.has_value());

  auto batch = Build(catalogs, ObjectsDepth::kAll);
  auto schema_tables = Items(Field(Items(batch->column(1), 0), "db_schema_tables"), 0);
  auto child_constraints = Items(Field(schema_tables, "table_constraints"), 1);
  auto usage = Items(Field(child_constraints, "constraint_column_usage"), 0);
  ASSERT_EQ(usage->length(), 2);
  EXPECT_EQ(ScalarText(Field(usage, "fk_db_schema"), 0), "s");
  EXPECT_EQ(ScalarText(Field(usage, "fk_table"), 1), "parent");
  EXPECT_EQ(ScalarText(Field(usage, "fk_column_name"), 0), "b");
}

}  // namespace
