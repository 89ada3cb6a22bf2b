#include "ingest/table_ddl_internal.h"

#include <arrow/type.h>
#include <gtest/gtest.h>

#include "util/failure.h"

namespace {

TEST(TableDdl, ArrowTypesMapToTheDocumentedSqlTypes) {
  struct Case {
    std::shared_ptr<arrow::DataType> type;
    const char* sql;  // null: refused
  } cases[] = {
      {arrow::boolean(), "BOOLEAN"},
      {arrow::int8(), "TINYINT"},
      {arrow::uint64(), "UBIGINT"},
      {arrow::float32(), "REAL"},
      {arrow::large_utf8(), "VARCHAR"},
      {arrow::fixed_size_binary(16), "BLOB"},
      {arrow::date64(), "DATE"},
      {arrow::time32(arrow::TimeUnit::MILLI), "TIME"},
      {arrow::timestamp(arrow::TimeUnit::SECOND), "TIMESTAMP_S"},
      {arrow::timestamp(arrow::TimeUnit::NANO), "TIMESTAMP_NS"},
      {arrow::timestamp(arrow::TimeUnit::NANO, "Europe/Paris"), "TIMESTAMPTZ"},
      {arrow::duration(arrow::TimeUnit::MICRO), "INTERVAL"},
      {arrow::decimal128(38, 4), "DECIMAL(38, 4)"},
      {arrow::decimal256(40, 2), nullptr},
      {arrow::float16(), nullptr},
      {arrow::duration(arrow::TimeUnit::NANO), nullptr},
      {arrow::null(), nullptr},
      {arrow::dictionary(arrow::int8(), arrow::utf8()), "VARCHAR"},
      {arrow::list(arrow::int32()), "INTEGER[]"},
      {arrow::fixed_size_list(arrow::float64(), 3), "DOUBLE[3]"},
      {arrow::struct_({arrow::field("a b", arrow::int32()), arrow::field("c\"", arrow::utf8())}),
       "STRUCT(\"a b\" INTEGER, \"c\"\"\" VARCHAR)"},
      {arrow::map(arrow::utf8(), arrow::int64()), "MAP(VARCHAR, BIGINT)"},
      {arrow::list(arrow::float16()), nullptr},
      {arrow::dense_union({arrow::field("a", arrow::int32())}), nullptr},
  };
  for (const auto& c : cases) {
    auto sql = zv::SqlTypeOf(*c.type);
    if (c.sql == nullptr) {
      EXPECT_FALSE(sql.ok()) << c.type->ToString();
    } else {
      ASSERT_TRUE(sql.ok()) << c.type->ToString() << ": " << sql.status().ToString();
      EXPECT_EQ(*sql, c.sql) << c.type->ToString();
    }
  }
}

TEST(TableDdl, NamesAreQuotedWholeAndNonNullableFieldsAreNotNull) {
  zv::TableName name;
  name.db_schema = "my \"schema\"";
  name.table = "a.b";
  auto schema = arrow::schema({arrow::field("select", arrow::int64(), /*nullable=*/false),
                               arrow::field("Grüße x", arrow::utf8())});
  auto sql = zv::CreateTableSql(name, *schema);
  ASSERT_TRUE(sql.ok());
  EXPECT_EQ(*sql,
            "CREATE TABLE \"my \"\"schema\"\"\".\"a.b\" (\"select\" BIGINT NOT NULL, "
            "\"Grüße x\" VARCHAR)");
}

TEST(TableDdl, UnloadableSchemasAreRefusedNamingTheColumn) {
  struct Case {
    std::shared_ptr<arrow::Schema> schema;
    const char* sqlstate;  // null: accepted
    const char* fragment;
  } cases[] = {
      {arrow::schema({arrow::field("a", arrow::int32())}), nullptr, ""},
      {arrow::schema({}), "22023", "no columns"},
      {arrow::schema({arrow::field("", arrow::int32())}), "22023", "no name"},
      {arrow::schema({arrow::field("Id", arrow::int32()), arrow::field("iD", arrow::utf8())}),
       "42S21", "'iD' appears twice"},
      {arrow::schema({arrow::field("ok", arrow::int32()), arrow::field("h", arrow::float16())}),
       "HYC00", "column 'h' has Arrow type halffloat"},
  };
  for (const auto& c : cases) {
    arrow::Status status = zv::CheckLoadableSchema(*c.schema);
    if (c.sqlstate == nullptr) {
      EXPECT_TRUE(status.ok()) << status.ToString();
      continue;
    }
    ASSERT_FALSE(status.ok()) << c.schema->ToString();
    const zv::FailureDetail* detail = zv::FailureDetailOf(status);
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->sqlstate(), c.sqlstate);
    EXPECT_NE(status.message().find(c.fragment), std::string::npos) << status.message();
  }
}

// Appending needs every bound column in the table (case folded); the table
// may have more. A missing one is ALREADY_EXISTS naming that column.
TEST(TableDdl, AppendTargetMustHoldEveryBoundColumn) {
  const auto table =
      arrow::schema({arrow::field("ID", arrow::int64()), arrow::field("name", arrow::utf8()),
                     arrow::field("extra", arrow::int32())});
  struct Case {
    std::shared_ptr<arrow::Schema> data;
    const char* missing;  // null: accepted
  } cases[] = {
      {arrow::schema({arrow::field("id", arrow::int32()), arrow::field("Name", arrow::utf8())}),
       nullptr},
      {arrow::schema({arrow::field("id", arrow::int64()), arrow::field("nope", arrow::utf8())}),
       "nope"},
  };
  for (const auto& c : cases) {
    arrow::Status status = zv::CheckAppendTarget(*c.data, *table, "\"t\"");
    if (c.missing == nullptr) {
      EXPECT_TRUE(status.ok()) << status.ToString();
      continue;
    }
    const zv::FailureDetail* detail = zv::FailureDetailOf(status);
    ASSERT_NE(detail, nullptr) << status.ToString();
    EXPECT_EQ(detail->kind(), zv::FailureKind::kAlreadyExists);
    EXPECT_NE(status.message().find(std::string("no column '") + c.missing + "'"),
              std::string::npos)
        << status.message();
  }
}

}  // namespace
