// What the service computes at SMALLINT, INTEGER and BIGINT width, and the
// statements it refuses: each case is answered with the service's value and
// type, or left to compute (the service raises its own error there).
#include <gtest/gtest.h>

#include "engine_case.h"

namespace zv_sql {
namespace {

using testing::make_batch;
using testing::SqlCase;

class Strictness : public ::testing::TestWithParam<SqlCase> {
 protected:
  void SetUp() override {
    auto odbc = make_batch({
        {"column_name", arrow::utf8(), R"(["id", "ǅ", "Ɤx"])"},
        {"sql_data_type", arrow::int16(), "[4, -9, 32767]"},
        {"ordinal_position", arrow::int32(), "[1, 2, 2147483647]"},
    });
    engine_.register_relation("information_schema.odbc_columns", odbc->schema(), {odbc});
    auto catalogs = make_batch({{"catalog_name", arrow::utf8(), R"(["zorvane"])"}});
    engine_.register_relation("information_schema.catalogs", catalogs->schema(), {catalogs});
  }

  MetadataEngine engine_;
};

TEST_P(Strictness, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;

std::string first_row(const char* expr) {
  return std::string("SELECT ") + expr +
         " AS v FROM information_schema.odbc_columns WHERE column_name = 'id'";
}

std::string all_rows(const char* expr) {
  return std::string("SELECT ") + expr + " AS v FROM information_schema.odbc_columns";
}

const char* const kOverflow = "integer overflow: left to compute, which reports it";

INSTANTIATE_TEST_SUITE_P(
    IntegerWidths, Strictness,
    ::testing::Values(
        // A constant takes the column's width when it fits it, else its own.
        SqlCase{first_row("sql_data_type * 2"), Ok, "", {{"v", arrow::int16(), "[8]"}}},
        SqlCase{first_row("sql_data_type * 100000"), Ok, "", {{"v", arrow::int32(), "[400000]"}}},
        SqlCase{first_row("sql_data_type + 3000000000"),
                Ok,
                "",
                {{"v", arrow::int64(), "[3000000004]"}}},
        SqlCase{
            first_row("ordinal_position + sql_data_type"), Ok, "", {{"v", arrow::int32(), "[5]"}}},
        SqlCase{first_row("1 + 1"), Ok, "", {{"v", arrow::int32(), "[2]"}}},
        SqlCase{first_row("2147483647 * 1 + 3000000000"),
                Ok,
                "",
                {{"v", arrow::int64(), "[5147483647]"}}},
        SqlCase{first_row("-2147483648 + 0"), Ok, "", {{"v", arrow::int64(), "[-2147483648]"}}},
        SqlCase{first_row("ordinal_position / 2"), Ok, "", {{"v", arrow::float64(), "[0.5]"}}},
        SqlCase{first_row("coalesce(sql_data_type, 1)"), Ok, "", {{"v", arrow::int16(), "[4]"}}},
        SqlCase{first_row("CASE WHEN true THEN sql_data_type ELSE 100000 END"),
                Ok,
                "",
                {{"v", arrow::int32(), "[4]"}}},
        SqlCase{
            first_row("CAST(ordinal_position AS real)"), Ok, "", {{"v", arrow::float32(), "[1]"}}},
        SqlCase{first_row("ordinal_position::FLOAT"), Ok, "", {{"v", arrow::float32(), "[1]"}}},
        SqlCase{first_row("CAST(ordinal_position AS double precision)"),
                Ok,
                "",
                {{"v", arrow::float64(), "[1]"}}},
        SqlCase{"SELECT * FROM (VALUES (-2147483648, 1)) v",
                Ok,
                "",
                {{"col0", arrow::int64(), "[-2147483648]"}, {"col1", arrow::int32(), "[1]"}}},
        SqlCase{first_row("length(column_name)"), Ok, "", {{"v", arrow::int64(), "[2]"}}},
        // Overflow at 16, 32 and 64 bits, for + - * and unary minus.
        SqlCase{all_rows("sql_data_type + 1"), NotHandled, kOverflow, {}},
        SqlCase{all_rows("sql_data_type * 2"), NotHandled, kOverflow, {}},
        SqlCase{all_rows("-sql_data_type - 32767"), NotHandled, kOverflow, {}},
        SqlCase{all_rows("ordinal_position + 1"), NotHandled, kOverflow, {}},
        SqlCase{first_row("1 * 2147483647 * 3"), NotHandled, kOverflow, {}},
        SqlCase{first_row("2147483647 + 1"), NotHandled, kOverflow, {}},
        // Compute folds the constants of a chain first, whatever the column holds.
        SqlCase{first_row("CAST(NULL AS bigint) * 100000 * 100000"), NotHandled, kOverflow, {}},
        SqlCase{first_row("CAST(ordinal_position AS bigint) * 100000 * 10"),
                Ok,
                "",
                {{"v", arrow::int64(), "[1000000]"}}},
        SqlCase{first_row("CAST(ordinal_position AS bigint) * 9223372036854775807 * 2"),
                NotHandled,
                kOverflow,
                {}},
        SqlCase{first_row("-(-9223372036854775807 - 1)"), NotHandled, kOverflow, {}},
        // The service's remainder is 0 here; the engine's quotient overflows.
        SqlCase{first_row("CAST(-32768 AS smallint) % -1"), NotHandled, kOverflow, {}},
        SqlCase{first_row("CAST(sql_data_type AS smallint) * 20000"), NotHandled, kOverflow, {}}));

INSTANTIATE_TEST_SUITE_P(
    LeftToCompute, Strictness,
    ::testing::Values(
        SqlCase{
            "SELECT column_name FROM information_schema.odbc_columns r WHERE zz.column_name = 'id'",
            NotHandled,
            "unknown relation in zz.column_name",
            {}},
        SqlCase{"SELECT odbc_columns.column_name FROM information_schema.odbc_columns r",
                NotHandled,
                "unknown relation in odbc_columns.column_name",
                {}},
        SqlCase{"SELECT count.lower(column_name) AS v FROM information_schema.odbc_columns",
                NotHandled,
                "qualified function name is left to compute",
                {}},
        SqlCase{"SELECT column_name FROM information_schema.odbc_columns LIMIT -1",
                NotHandled,
                "negative LIMIT/OFFSET is left to compute",
                {}},
        SqlCase{"SELECT column3 FROM (VALUES (1, 2, 3)) v(a, b)",
                NotHandled,
                "unknown column column3",
                {}},
        SqlCase{"SELECT col2 FROM (VALUES (1, 2, 3)) v(a, b)",
                Ok,
                "",
                {{"col2", arrow::int32(), "[3]"}}},
        SqlCase{
            "SELECT expr_0 FROM (SELECT upper(column_name) FROM information_schema.odbc_columns) d",
            NotHandled,
            "a select item without an alias is named by its text on the service; left to compute",
            {}},
        SqlCase{first_row("CAST(CAST(1 AS bigint) AS timestamp)"),
                NotHandled,
                "cast of int64 to timestamp[us] is left to compute: the service converts it "
                "differently or not at all",
                {}},
        SqlCase{first_row("CAST('0xFFFFFFFF' AS integer)"),
                NotHandled,
                "cast of text the service reads its own way is left to compute",
                {}},
        SqlCase{"SELECT column_name FROM ONLY information_schema.odbc_columns",
                NotHandled,
                "FROM ONLY is left to compute",
                {}},
        SqlCase{first_row("U&'\\0041'"),
                NotHandled,
                "string constant not in plain quotes is left to compute",
                {}},
        SqlCase{first_row("x'41'"), NotHandled, "bit-string constant is left to compute", {}},
        SqlCase{"SELECT column_name FROM other.information_schema.odbc_columns",
                NotHandled,
                "catalog other is not the snapshot's",
                {}},
        SqlCase{"SELECT column_name FROM ZORVANE.information_schema.odbc_columns WHERE "
                "sql_data_type = 4",
                Ok,
                "",
                {{"column_name", arrow::utf8(), R"(["id"])"}}},
        SqlCase{"SELECT * FROM (VALUES (1)) a(p) NATURAL JOIN (VALUES (2)) b(q)",
                NotHandled,
                "NATURAL join without shared columns",
                {}},
        SqlCase{first_row("CAST('NaN' AS double) = CAST('NaN' AS double)"),
                NotHandled,
                "cast of text the service reads its own way is left to compute",
                {}},
        SqlCase{first_row("-CAST(ordinal_position AS double) * 0"),
                NotHandled,
                "NaN or negative zero: compute compares, sorts and groups them its own way",
                {}},
        SqlCase{first_row("CAST(ordinal_position AS double) % 2"),
                NotHandled,
                "floating-point remainder is left to compute",
                {}},
        SqlCase{
            "SELECT ordinal_position FROM information_schema.odbc_columns WHERE ordinal_position = "
            "1.0000000000000001",
            NotHandled,
            "decimal constant a double does not hold exactly is left to compute",
            {}},
        SqlCase{"SELECT ordinal_position FROM information_schema.odbc_columns WHERE "
                "ordinal_position < 1.5",
                Ok,
                "",
                {{"ordinal_position", arrow::int32(), "[1]"}}},
        SqlCase{all_rows("upper(column_name)"),
                NotHandled,
                "text with letters whose case the service maps differently is left to compute",
                {}},
        SqlCase{"SELECT upper(column_name) AS v FROM information_schema.odbc_columns WHERE "
                "sql_data_type < 32767",
                Ok,
                "",
                {{"v", arrow::utf8(), R"(["ID", "Ǆ"])"}}},
        SqlCase{first_row("DATE '2020-01-03' - DATE '2020-01-01'"),
                NotHandled,
                "arithmetic on date32[day] is left to compute",
                {}},
        SqlCase{"SELECT count(*) FROM information_schema.odbc_columns",
                Ok,
                "",
                {{"count_star()", arrow::int64(), "[3]"}}},
        // Constants are named by their spelling, as the service names them.
        SqlCase{"SELECT 1, -2147483648, 'a', NULL, TRUE FROM information_schema.odbc_columns WHERE "
                "sql_data_type = 4",
                Ok,
                "",
                {{"1", arrow::int32(), "[1]"},
                 {"-2147483648", arrow::int64(), "[-2147483648]"},
                 {"'a'", arrow::utf8(), R"(["a"])"},
                 {"NULL", arrow::null(), "[null]"},
                 {"true", arrow::boolean(), "[true]"}}}));

}  // namespace
}  // namespace zv_sql
