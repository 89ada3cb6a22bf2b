#include <arrow/api.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/adbc_status.h"
#include "driver/sql_literal.h"
#include "driver/sql_placeholders.h"

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

TEST(RenderSqlLiteral, EachTypeAsASelfContainedLiteral) {
  using namespace arrow;
  struct Case {
    std::shared_ptr<Array> array;
    std::string literal;
  } cases[] = {
      {One<Int64Builder>(int64(), -5), "(-5)"},
      {One<Int64Builder>(int64(), INT64_MIN), "(-9223372036854775808)"},
      {One<UInt64Builder>(uint64(), UINT64_MAX), "18446744073709551615"},
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
       "CAST('1969-12-31 23:59:59.999' AS TIMESTAMP)"},
      {One<TimestampBuilder>(timestamp(TimeUnit::SECOND, "Europe/Paris"), 0),
       "CAST('1970-01-01 00:00:00+00' AS TIMESTAMP WITH TIME ZONE)"},
      {One<TimestampBuilder>(timestamp(TimeUnit::NANO), 1),
       "CAST('1970-01-01 00:00:00.000000001' AS TIMESTAMP_NS)"},
      {One<Decimal128Builder>(decimal128(10, 2), Decimal128(-1234)),
       "CAST('-12.34' AS DECIMAL(10,2))"},
      {One<StringBuilder>(utf8(), std::string("a\0b", 3)),
       "error: a text parameter contains a NUL character, which SQL text cannot carry"},
      {One<StringBuilder>(utf8(), "\xff"), "error: a text parameter is not valid UTF-8"},
      {One<Time32Builder>(time32(TimeUnit::SECOND), 86400),
       "error: a time parameter lies outside the day"},
      {One<DurationBuilder>(duration(TimeUnit::SECOND), 1),
       "error: parameters of type duration[s] cannot be bound (no SQL literal for this type)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Render(c.array), c.literal) << c.array->type()->ToString();
  auto nulls = MakeArrayOfNull(int32(), 1).ValueOrDie();
  EXPECT_EQ(Render(nulls), "NULL");
  EXPECT_TRUE(zv::CheckRenderableType(*list(int32())).IsUnknownError());
  EXPECT_TRUE(zv::CheckRenderableType(*utf8()).ok());
}

}  // namespace
