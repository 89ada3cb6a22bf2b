#include <arrow/api.h>
#include <arrow/json/from_string.h>
#include <arrow/util/float16.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/adbc_status.h"
#include "driver/sql_literal.h"
#include "driver/sql_placeholders.h"
#include "driver/statement_read_only.h"

namespace {

TEST(FindPlaceholders, OnlyInCode) {
  struct Case {
    const char* sql;
    std::vector<size_t> positions;
  } cases[] = {
      {"SELECT ?", {7}},
      {"SELECT '?', ?", {12}},
      {"SELECT 'it''s ?', ?", {18}},
      {"SELECT \"a?\"\"?\", ?", {16}},
      {"SELECT ? -- ?\n, ?", {7, 16}},
      {"SELECT /* ? /* ? */ ? */ ?", {25}},
      {"SELECT E'\\'?', ?", {15}},
      {"SELECT e'x', ?", {13}},
      {"SELECT type'x?', ?", {17}},  // a prefix word is not E
      {"SELECT $$ ? $$, ?", {16}},
      {"SELECT $t$ ? $t$, ?", {18}},
      {"SELECT $1, ?", {11}},  // not a dollar quote: stays code
      {"SELECT a$b, ?", {12}},
      {"SELECT 'open ?", {}},  // unterminated: nothing inside counts
      {"SELECT /* open ?", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    auto found = zv::FindPlaceholders(c.sql);
    ASSERT_TRUE(found.ok()) << c.sql << ": " << found.status().ToString();
    EXPECT_EQ(*found, c.positions) << c.sql;
  }
  EXPECT_FALSE(zv::FindPlaceholders("SELECT ?1").ok());
}

TEST(SubstituteParameters, LiteralsAreSetOffFromTheirNeighbours) {
  EXPECT_EQ(zv::SubstituteParameters("SELECT 10-?", {10}, {"(-5)"}), "SELECT 10- (-5) ");
  EXPECT_EQ(zv::SubstituteParameters("f(?,?)", {2, 4}, {"1", "'a'"}), "f( 1 , 'a' )");
}

TEST(MatchSimpleInsert, OnlyARowOfPlaceholdersAtTheEnd) {
  struct Case {
    const char* sql;
    const char* head;  // null: not a simple insert
  } cases[] = {
      {"INSERT INTO t VALUES (?, ?)", "INSERT INTO t VALUES "},
      {"insert into t (a, b) values(?,?);  ", "insert into t (a, b) values"},
      {"INSERT INTO t VALUES (?, ?) RETURNING a", nullptr},
      {"INSERT INTO t VALUES (1, ?)", nullptr},
      {"INSERT INTO t VALUES (?), (?)", nullptr},
      {"INSERT INTO t SELECT ?", nullptr},
      {"INSERT INTO t /* VALUES */ SELECT (?)", nullptr},
      {"INSERT INTO t VALUES (lower(?))", nullptr},
      {"UPDATE t SET a = 1 WHERE VALUES (?)", nullptr},
      {"INSERT INTO myvalues (?)", nullptr},
  };
  for (const auto& c : cases) {
    auto positions = zv::FindPlaceholders(c.sql);
    ASSERT_TRUE(positions.ok());
    auto match = zv::MatchSimpleInsert(c.sql, *positions);
    if (c.head == nullptr) {
      EXPECT_FALSE(match.has_value()) << c.sql;
    } else {
      ASSERT_TRUE(match.has_value()) << c.sql;
      EXPECT_EQ(match->head, c.head);
    }
  }
}

std::string Render(const std::shared_ptr<arrow::Array>& array, int64_t row = 0) {
  auto literal = zv::RenderSqlLiteral(*array, row);
  return literal.ok() ? *literal : "error: " + literal.status().message();
}

template <typename Builder, typename T>
std::shared_ptr<arrow::Array> One(std::shared_ptr<arrow::DataType> type, T value) {
  Builder builder(type, arrow::default_memory_pool());
  EXPECT_TRUE(builder.Append(value).ok());
  return builder.Finish().ValueOrDie();
}

std::shared_ptr<arrow::Array> Json(const std::shared_ptr<arrow::DataType>& type, const char* json) {
  return arrow::json::ArrayFromJSONString(type, json).ValueOrDie();
}

std::shared_ptr<arrow::Array> Dict(const char* indices, const char* dictionary) {
  return arrow::json::DictArrayFromJSONString(arrow::dictionary(arrow::int8(), arrow::utf8()),
                                              indices, dictionary)
      .ValueOrDie();
}

TEST(RenderSqlLiteral, EachTypeAsASelfContainedLiteralOfItsOwnType) {
  using namespace arrow;
  struct Case {
    std::shared_ptr<Array> array;
    std::string literal;
  } cases[] = {
      {One<Int64Builder>(int64(), -5), "CAST(-5 AS BIGINT)"},
      {One<Int32Builder>(int32(), -5), "(-5)"},
      {One<Int32Builder>(int32(), INT32_MIN), "CAST(-2147483648 AS INTEGER)"},
      {One<Int8Builder>(int8(), 7), "CAST(7 AS TINYINT)"},
      {One<Int64Builder>(int64(), INT64_MIN), "CAST(-9223372036854775808 AS BIGINT)"},
      {One<UInt64Builder>(uint64(), UINT64_MAX), "CAST(18446744073709551615 AS UBIGINT)"},
      {One<DoubleBuilder>(float64(), 0.1), "CAST('0.1' AS DOUBLE)"},
      {One<DoubleBuilder>(float64(), -std::numeric_limits<double>::infinity()),
       "CAST('-Infinity' AS DOUBLE)"},
      {One<FloatBuilder>(float32(), std::nanf("")), "CAST('NaN' AS REAL)"},
      {One<StringBuilder>(utf8(), "it's"), "'it''s'"},
      {One<StringBuilder>(utf8(), "a\\b"), "'a\\b'"},
      {One<BinaryBuilder>(binary(), std::string("\x00'", 2)), "CAST('\\x00\\x27' AS BLOB)"},
      {One<Date32Builder>(date32(), 0), "CAST('1970-01-01' AS DATE)"},
      {One<Date32Builder>(date32(), -719162), "CAST('0001-01-01' AS DATE)"},
      {One<Date32Builder>(date32(), -719163), "CAST('0001-12-31 (BC)' AS DATE)"},
      {One<Date64Builder>(date64(), -1), "CAST('1969-12-31' AS DATE)"},
      {One<Time64Builder>(time64(TimeUnit::MICRO), 1), "CAST('00:00:00.000001' AS TIME)"},
      {One<TimestampBuilder>(timestamp(TimeUnit::MILLI), -1),
       "CAST('1969-12-31 23:59:59.999' AS TIMESTAMP_MS)"},
      {One<TimestampBuilder>(timestamp(TimeUnit::SECOND, "Europe/Paris"), 0),
       "CAST('1970-01-01 00:00:00+00' AS TIMESTAMPTZ)"},
      {One<TimestampBuilder>(timestamp(TimeUnit::NANO), 1),
       "CAST('1970-01-01 00:00:00.000000001' AS TIMESTAMP_NS)"},
      {One<Decimal128Builder>(decimal128(10, 2), Decimal128(-1234)),
       "CAST('-12.34' AS DECIMAL(10, 2))"},
      {One<StringBuilder>(utf8(), std::string("a\0b", 3)),
       "error: a text parameter contains a NUL character, which SQL text cannot carry"},
      {One<StringBuilder>(utf8(), "\xff"), "error: a text parameter is not valid UTF-8"},
      {One<Time32Builder>(time32(TimeUnit::SECOND), 86400),
       "error: a time parameter lies outside the day"},
      {One<DurationBuilder>(duration(TimeUnit::SECOND), -1),
       "CAST('0 months 0 days -1000000 microseconds' AS INTERVAL)"},
      {One<DurationBuilder>(duration(TimeUnit::NANO), 1000),
       "error: parameters of type duration[ns] cannot be bound (no SQL literal for this type)"},
      {One<DurationBuilder>(duration(TimeUnit::SECOND), INT64_MAX / 1000),
       "error: a parameter of type duration[s] lies outside the interval range"},
      {One<Time64Builder>(time64(TimeUnit::NANO), 1000), "CAST('00:00:00.000001' AS TIME)"},
      {One<Time64Builder>(time64(TimeUnit::NANO), 1),
       "error: a parameter of type time64[ns] is not a whole microsecond, which the service "
       "would truncate"},
      {One<HalfFloatBuilder>(float16(), arrow::util::Float16(0.1f).bits()),
       "CAST('0.099975586' AS REAL)"},
      {One<Decimal256Builder>(decimal256(10, 2), Decimal256(5)), "CAST('0.05' AS DECIMAL(10, 2))"},
      {One<Decimal256Builder>(decimal256(50, 2), Decimal256(5)),
       "error: parameters of type decimal256(50, 2) cannot be bound (no SQL literal for this "
       "type)"},
      {Json(month_day_nano_interval(), "[[1, -2, 3000]]"),
       "CAST('1 months -2 days 3 microseconds' AS INTERVAL)"},
      {Json(month_day_nano_interval(), "[[0, 0, 1]]"),
       "error: a parameter of type month_day_nano_interval is not a whole microsecond, which "
       "the service would truncate"},
      {Json(list(int64()), "[[1, null]]"),
       "CAST([CAST(1 AS BIGINT), CAST(NULL AS BIGINT)] AS BIGINT[])"},
      {Json(fixed_size_list(utf8(), 2), R"([["a", "b'"]])"), "CAST(['a', 'b'''] AS VARCHAR[2])"},
      {Json(struct_({field("it's", int32())}), R"([{"it's": 1}])"),
       "CAST({'it''s': 1} AS STRUCT(\"it's\" INTEGER))"},
      {Json(map(utf8(), int32()), R"([[["k", 2]]])"),
       "CAST(MAP(['k'], [2]) AS MAP(VARCHAR, INTEGER))"},
      {Dict("[1]", R"(["a", "z"])"), "'z'"},
      {Json(dense_union({field("a", int32())}, {0}), "[[0, 1]]"),
       "error: parameters of type dense_union<a: int32=0> cannot be bound (no SQL literal for "
       "this type)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Render(c.array), c.literal) << c.array->type()->ToString();
  auto nulls = MakeArrayOfNull(int32(), 1).ValueOrDie();
  EXPECT_EQ(Render(nulls), "CAST(NULL AS INTEGER)");
  EXPECT_EQ(Render(MakeArrayOfNull(null(), 1).ValueOrDie()), "NULL");
  EXPECT_EQ(Render(Dict("[null]", R"(["a"])")), "CAST(NULL AS VARCHAR)");
  EXPECT_TRUE(zv::CheckRenderableType(*list(int32())).ok());
  EXPECT_TRUE(zv::CheckRenderableType(*list(float16())).IsUnknownError());
  EXPECT_TRUE(zv::CheckRenderableType(*utf8()).ok());
}

}  // namespace

namespace {

TEST(CheckReadOnlySql, OnlyStatementsThatCanBeShownToRead) {
  struct Case {
    const char* sql;
    bool read;
  } cases[] = {
      {"SELECT 1", true},
      {"  /* c */ -- d\n ((SELECT 1))", true},
      {"select * from t where s = 'DROP TABLE t; INSERT'", true},
      {"WITH a AS (SELECT 1) SELECT * FROM a", true},
      {"VALUES (1)", true},
      {"FROM t", true},
      {"SHOW TABLES", true},
      {"DESCRIBE t", true},
      {"EXPLAIN SELECT 1", true},
      {"EXPLAIN ANALYZE (SELECT 1)", true},
      {"SELECT \"insert\", $$ update $$ FROM t;", true},
      {"SELECT 1; ", true},
      {"", true},
      {"DROP TABLE t", false},
      {"insert into t values (1)", false},
      {"/* SELECT */ DELETE FROM t", false},
      {"(UPDATE t SET a = 1)", false},
      {"SELECT 1; DROP TABLE t", false},
      {"SELECT 1;DROP TABLE t", false},
      {"SELECT 'x'';'; DROP TABLE t", false},
      {"WITH d AS (DELETE FROM t RETURNING *) SELECT * FROM d", false},
      {"WITH a AS (SELECT 1) INSERT INTO t SELECT * FROM a", false},
      {"SELECT * INTO t2 FROM t", false},
      {"SELECT nextval('s')", false},
      {"SELECT \"nextval\"('s')", false},
      {"SELECT main.\"NEXTVAL\" ('s')", false},
      {"SELECT * FROM \"query\"('DROP TABLE t')", false},
      {"SELECT * FROM query('DROP TABLE t')", false},
      {"EXPLAIN ANALYZE DELETE FROM t", false},
      {"EXPLAIN (FORMAT JSON) CREATE TABLE t (a INT)", false},
      {"EXPLAIN", false},
      {"SET x = 1", false},
      {"COPY t TO 'f.csv'", false},
      {"CALL checkpoint()", false},
      {"ATTACH 'x.db'", false},
      {"SELECT * FROM t FOR UPDATE", false},
  };
  for (const auto& c : cases) {
    arrow::Status status = zv::CheckReadOnlySql(c.sql);
    EXPECT_EQ(status.ok(), c.read) << c.sql;
    if (!status.ok()) {
      const zv::FailureDetail* detail = zv::FailureDetailOf(status);
      ASSERT_NE(detail, nullptr) << c.sql;
      EXPECT_EQ(detail->sqlstate(), "25006") << c.sql;
      EXPECT_EQ(zv::AdbcStatusFor(detail->kind()), ADBC_STATUS_INVALID_STATE) << c.sql;
      EXPECT_NE(status.message().find("adbc.connection.readonly"), std::string::npos);
    }
  }
}

}  // namespace
