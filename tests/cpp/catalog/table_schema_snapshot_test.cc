#include "catalog/table_schema_snapshot.h"

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

#include <optional>

namespace {

// The types compute serves for each catalog type; where the snapshot cannot
// tell (time zones, unknown parameters, types only compute knows) no type.
TEST(CatalogTypes, MapToTheTypesOfResultSets) {
  struct Case {
    const char* data_type;
    int64_t precision;
    int64_t scale;
    std::shared_ptr<arrow::DataType> expected;  // null: ask compute
  } cases[] = {
      {"SMALLINT", -1, -1, arrow::int16()},
      {"integer", 32, 0, arrow::int32()},
      {"bigint", 64, 0, arrow::int64()},
      {"TinyInt", 8, 0, arrow::int8()},
      {"REAL", 24, 0, arrow::float32()},
      {"FLOAT", 24, 0, arrow::float32()},
      {"DOUBLE", 53, 0, arrow::float64()},
      {"bool", -1, -1, arrow::boolean()},
      {"DATE", -1, -1, arrow::date32()},
      {"time", -1, -1, arrow::time64(arrow::TimeUnit::MICRO)},
      {"TIMESTAMP", -1, -1, arrow::timestamp(arrow::TimeUnit::MICRO)},
      {"VARCHAR", -1, -1, arrow::utf8()},
      {"VARBINARY", -1, -1, arrow::binary()},
      {"BLOB", -1, -1, arrow::binary()},
      {"DECIMAL", 10, 2, arrow::decimal128(10, 2)},
      {"numeric", 38, 0, arrow::decimal128(38, 0)},
      {"DECIMAL", -1, -1, nullptr},
      {"DECIMAL", 40, 2, nullptr},
      {"TIMESTAMP WITH TIME ZONE", -1, -1, nullptr},
      {"time with time zone", -1, -1, nullptr},
      {"DECIMAL(12,2)", 12, 2, arrow::decimal128(12, 2)},
      {"numeric(12,2)", -1, -1, arrow::decimal128(12, 2)},
      {"decimal(9)", -1, -1, arrow::decimal128(9, 0)},
      {"DECIMAL(40,2)", -1, -1, nullptr},
      {"DECIMAL(12,2", -1, -1, nullptr},
      {"DECIMAL(12,x)", -1, -1, nullptr},
      {"HUGEINT", 128, 0, nullptr},
      {"UUID", -1, -1, nullptr},
      {"", -1, -1, nullptr},
  };
  for (const auto& c : cases) {
    auto actual = zv::ArrowTypeForCatalogType(c.data_type, c.precision, c.scale);
    if (!c.expected) {
      EXPECT_EQ(actual, nullptr) << c.data_type << " -> " << actual->ToString();
    } else {
      ASSERT_NE(actual, nullptr) << c.data_type;
      EXPECT_TRUE(actual->Equals(*c.expected)) << c.data_type << " -> " << actual->ToString();
    }
  }
}

struct Row {
  const char* catalog;
  const char* schema;
  const char* table;
  const char* column;
  std::optional<int32_t> ordinal;
  const char* data_type;
  const char* nullable;
};

std::shared_ptr<arrow::RecordBatch> ColumnsBatch(const std::vector<Row>& rows,
                                                 bool with_nullable = true) {
  arrow::StringBuilder catalogs, schemas, tables, columns, types, nullables;
  arrow::Int32Builder ordinals;
  auto append = [](arrow::StringBuilder& b, const char* v) {
    return v ? b.Append(v) : b.AppendNull();
  };
  for (const Row& r : rows) {
    EXPECT_TRUE(append(catalogs, r.catalog).ok());
    EXPECT_TRUE(append(schemas, r.schema).ok());
    EXPECT_TRUE(append(tables, r.table).ok());
    EXPECT_TRUE(append(columns, r.column).ok());
    EXPECT_TRUE((r.ordinal ? ordinals.Append(*r.ordinal) : ordinals.AppendNull()).ok());
    EXPECT_TRUE(append(types, r.data_type).ok());
    EXPECT_TRUE(append(nullables, r.nullable).ok());
  }
  arrow::FieldVector fields = {
      arrow::field("table_catalog", arrow::utf8()),     arrow::field("table_schema", arrow::utf8()),
      arrow::field("table_name", arrow::utf8()),        arrow::field("column_name", arrow::utf8()),
      arrow::field("ordinal_position", arrow::int32()), arrow::field("data_type", arrow::utf8())};
  arrow::ArrayVector arrays = {*catalogs.Finish(), *schemas.Finish(),  *tables.Finish(),
                               *columns.Finish(),  *ordinals.Finish(), *types.Finish()};
  if (with_nullable) {
    fields.push_back(arrow::field("is_nullable", arrow::utf8()));
    arrays.push_back(*nullables.Finish());
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), static_cast<int64_t>(rows.size()), arrays);
}

const std::vector<Row> kRows = {
    {"memory", "sales", "orders", "status", 3, "VARCHAR", "YES"},
    {"memory", "sales", "orders", "order_id", 1, "INTEGER", "NO"},
    {"memory", "sales", "orders", "ordered_at", 2, "TIMESTAMP", "no"},
    {"memory", "other", "orders", "id", 1, "BIGINT", ""},
    {"memory", "sales", "customers", "name", 1, "VARCHAR", nullptr},
    {"memory", "sales", nullptr, "ghost", 1, "INTEGER", "YES"},
};

TEST(SchemaFromCatalogColumns, OrdersFieldsByOrdinalAndHonoursFilters) {
  auto batch = ColumnsBatch(kRows);
  auto found = zv::SchemaFromCatalogColumns(*batch, nullptr, "SALES", "ORDERS");
  ASSERT_NE(found.schema, nullptr) << found.reason;
  ASSERT_EQ(found.schema->num_fields(), 3);
  // Nullability is the catalog's: is_nullable NO (any case) is NOT NULL.
  EXPECT_EQ(found.schema->field(0)->ToString(), "order_id: int32 not null");
  EXPECT_EQ(found.schema->field(1)->ToString(), "ordered_at: timestamp[us] not null");
  EXPECT_EQ(found.schema->field(2)->ToString(), "status: string");
  // Two tables of that name and no schema filter: never a merge of both.
  auto ambiguous = zv::SchemaFromCatalogColumns(*batch, "", nullptr, "orders");
  EXPECT_EQ(ambiguous.schema, nullptr);
  EXPECT_EQ(ambiguous.reason, "the name matches several tables");
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, "elsewhere", nullptr, "orders").schema, nullptr);
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, nullptr, nullptr, "missing").schema, nullptr);
  auto customers = zv::SchemaFromCatalogColumns(*batch, nullptr, nullptr, "customers");
  ASSERT_NE(customers.schema, nullptr);
  EXPECT_EQ(customers.schema->field(0)->ToString(), "name: string");
}

TEST(SchemaFromCatalogColumns, TypesTheSnapshotCannotTellGoToCompute) {
  auto batch =
      ColumnsBatch({{"memory", "sales", "events", "id", 1, "INTEGER", "NO"},
                    {"memory", "sales", "events", "at", 2, "TIMESTAMP WITH TIME ZONE", "YES"}});
  auto found = zv::SchemaFromCatalogColumns(*batch, nullptr, "SALES", "Events");
  EXPECT_EQ(found.schema, nullptr);
  EXPECT_EQ(found.reason,
            "the snapshot does not determine the result type of TIMESTAMP WITH TIME ZONE");
  // Compute is asked by the names the snapshot resolved, and its answer
  // takes the catalog's nullability while its fields are the table's.
  ASSERT_TRUE(found.table.has_value());
  EXPECT_EQ(
      found.table->name.catalog + "." + found.table->name.schema + "." + found.table->name.name,
      "memory.sales.events");
  auto computed =
      arrow::schema({arrow::field("id", arrow::int32()),
                     arrow::field("at", arrow::timestamp(arrow::TimeUnit::MICRO, "UTC"))});
  EXPECT_EQ(zv::WithCatalogNullability(computed, *found.table)->ToString(),
            "id: int32 not null\nat: timestamp[us, tz=UTC]");
  auto other =
      arrow::schema({arrow::field("id", arrow::int32()), arrow::field("renamed", arrow::utf8())});
  EXPECT_EQ(zv::WithCatalogNullability(other, *found.table), other);
}

TEST(SchemaFromCatalogColumns, NamesDifferingOnlyInCaseResolveToTheExactSpelling) {
  auto batch = ColumnsBatch({{"memory", "s", "T", "upper", 1, "INTEGER", "YES"},
                             {"memory", "s", "t", "lower", 1, "INTEGER", "YES"}});
  auto upper = zv::SchemaFromCatalogColumns(*batch, nullptr, "s", "T");
  ASSERT_NE(upper.schema, nullptr) << upper.reason;
  EXPECT_EQ(upper.schema->field(0)->name(), "upper");
  auto lower = zv::SchemaFromCatalogColumns(*batch, nullptr, "s", "t");
  ASSERT_NE(lower.schema, nullptr);
  EXPECT_EQ(lower.schema->field(0)->name(), "lower");
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, nullptr, "S", "T").table, std::nullopt);
}

TEST(SchemaFromCatalogColumns, MissingColumnsOfTheRelationAreHandled) {
  auto without_nullable = ColumnsBatch(kRows, /*with_nullable=*/false);
  auto found = zv::SchemaFromCatalogColumns(*without_nullable, nullptr, "sales", "orders");
  ASSERT_NE(found.schema, nullptr);
  for (const auto& field : found.schema->fields()) EXPECT_TRUE(field->nullable());
  auto no_types = *ColumnsBatch(kRows)->RemoveColumn(5);
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*no_types, nullptr, nullptr, "orders").schema, nullptr);
}

}  // namespace
