#include "driver/table_schema_snapshot.h"

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

#include <optional>

namespace {

TEST(CatalogTypes, MapToArrowTypesByTheFirstMatchingRule) {
  struct Case {
    const char* data_type;
    std::shared_ptr<arrow::DataType> expected;
  } cases[] = {
      {"SMALLINT", arrow::int16()},
      {"integer", arrow::int32()},
      {"INT", arrow::int32()},
      {"bigint", arrow::int64()},
      {"TinyInt", arrow::int8()},
      {"REAL", arrow::float32()},
      {"double precision", arrow::float64()},
      {"FLOAT", arrow::float64()},
      {"bool", arrow::boolean()},
      {"DATE", arrow::date32()},
      {"time", arrow::time64(arrow::TimeUnit::MICRO)},
      {"time without time zone(6)", arrow::time64(arrow::TimeUnit::MICRO)},
      {"time with time zone", arrow::utf8()},
      {"TIMESTAMP WITH TIME ZONE", arrow::timestamp(arrow::TimeUnit::MICRO)},
      {"bytea", arrow::binary()},
      {"NUMERIC", arrow::decimal128(38, 10)},
      {"numeric(12,2)", arrow::utf8()},
      {"varchar(20)", arrow::utf8()},
      {"", arrow::utf8()},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(zv::ArrowTypeForCatalogType(c.data_type)->Equals(*c.expected))
        << c.data_type << " -> " << zv::ArrowTypeForCatalogType(c.data_type)->ToString();
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
  arrow::FieldVector fields = {arrow::field("table_catalog", arrow::utf8()),
                               arrow::field("table_schema", arrow::utf8()),
                               arrow::field("table_name", arrow::utf8()),
                               arrow::field("column_name", arrow::utf8()),
                               arrow::field("ordinal_position", arrow::int32()),
                               arrow::field("data_type", arrow::utf8())};
  arrow::ArrayVector arrays = {*catalogs.Finish(), *schemas.Finish(), *tables.Finish(),
                               *columns.Finish(), *ordinals.Finish(), *types.Finish()};
  if (with_nullable) {
    fields.push_back(arrow::field("is_nullable", arrow::utf8()));
    arrays.push_back(*nullables.Finish());
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), static_cast<int64_t>(rows.size()),
                                  arrays);
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
  auto schema = zv::SchemaFromCatalogColumns(*batch, nullptr, "SALES", "ORDERS");
  ASSERT_NE(schema, nullptr);
  ASSERT_EQ(schema->num_fields(), 3);
  EXPECT_EQ(schema->field(0)->ToString(), "order_id: int32 not null");
  EXPECT_EQ(schema->field(1)->ToString(), "ordered_at: timestamp[us] not null");
  EXPECT_EQ(schema->field(2)->ToString(), "status: string");
  // Without a schema filter both tables named orders contribute.
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, "", nullptr, "orders")->num_fields(), 4);
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, "elsewhere", nullptr, "orders"), nullptr);
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*batch, nullptr, nullptr, "missing"), nullptr);
  auto customers = zv::SchemaFromCatalogColumns(*batch, nullptr, nullptr, "customers");
  EXPECT_TRUE(customers->field(0)->nullable()) << "a null is_nullable means nullable";
}

TEST(SchemaFromCatalogColumns, MissingColumnsOfTheRelationAreHandled) {
  auto without_nullable = ColumnsBatch(kRows, /*with_nullable=*/false);
  auto schema = zv::SchemaFromCatalogColumns(*without_nullable, nullptr, "sales", "orders");
  ASSERT_NE(schema, nullptr);
  for (const auto& field : schema->fields()) EXPECT_TRUE(field->nullable());
  auto no_types = *ColumnsBatch(kRows)->RemoveColumn(5);
  EXPECT_EQ(zv::SchemaFromCatalogColumns(*no_types, nullptr, nullptr, "orders"), nullptr);
}

}  // namespace
