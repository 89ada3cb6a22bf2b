#include <gtest/gtest.h>

#include <arrow/util/key_value_metadata.h>

#include "engine_case.h"

namespace zv_sql {
namespace {

using testing::make_batch;
using testing::SqlCase;

class AggregateTest : public ::testing::TestWithParam<SqlCase> {
 protected:
  void SetUp() override {
    auto tables = make_batch({
        {"table_schema", arrow::utf8(),
         R"(["public", "public", "sales", "sales", "information_schema", null])"},
        {"table_name", arrow::utf8(),
         R"(["orders", "items", "leads", "orders", "tables", "ghost"])"},
        {"row_count", arrow::int64(), "[10, null, 3, 7, 0, 1]"},
        {"width", arrow::int32(), "[2147483647, 2147483647, 1, null, 5, 6]"},
        {"is_view", arrow::boolean(), "[false, true, false, false, true, null]"},
        {"huge", arrow::int64(), "[4611686018427387904, 4611686018427387904, 1, 1, 1, 1]"},
    });
    auto schema = *tables->schema()->SetField(
        0, tables->schema()->field(0)->WithMetadata(
               arrow::key_value_metadata({"comment"}, {"schema of the table"})));
    tables = arrow::RecordBatch::Make(schema, tables->num_rows(), tables->columns());
    engine_.register_relation("information_schema.tables", tables->schema(), {tables});
    auto triggers = arrow::schema({arrow::field("trigger_name", arrow::utf8()),
                                   arrow::field("action_order", arrow::int32())});
    engine_.register_relation("information_schema.triggers", triggers, {});
  }

  MetadataEngine engine_;
};

TEST_P(AggregateTest, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;
const auto Error = ExecuteStatus::Error;

INSTANTIATE_TEST_SUITE_P(
    Aggregation, AggregateTest,
    ::testing::Values(
        SqlCase{"SELECT count(*) FROM information_schema.tables",
                Ok,
                "",
                {{"count_star()", arrow::int64(), "[6]"}}},
        // An empty input still yields one row: zero counts, null for the rest.
        SqlCase{"SELECT count(*), count(action_order) AS c, sum(action_order) AS s, "
                "min(trigger_name) AS m, "
                "avg(action_order) AS a FROM information_schema.triggers",
                Ok,
                "",
                {{"count_star()", arrow::int64(), "[0]"},
                 {"c", arrow::int64(), "[0]"},
                 {"s", arrow::decimal128(38, 0), "[null]"},
                 {"m", arrow::utf8(), "[null]"},
                 {"a", arrow::float64(), "[null]"}}},
        // Nulls are skipped; count(x) counts values, count(*) rows.
        SqlCase{"SELECT count(row_count) AS c, sum(row_count) AS s, min(row_count) AS mn, "
                "max(row_count) AS mx, "
                "avg(row_count) AS a FROM information_schema.tables",
                Ok,
                "",
                {{"c", arrow::int64(), "[5]"},
                 {"s", arrow::decimal128(38, 0), R"(["21"])"},
                 {"mn", arrow::int64(), "[0]"},
                 {"mx", arrow::int64(), "[10]"},
                 {"a", arrow::float64(), "[4.2]"}}},
        // Sums of integers are 128-bit on the service: 32-bit sums widen
        // instead of wrapping.
        SqlCase{"SELECT sum(width) AS s FROM information_schema.tables",
                Ok,
                "",
                {{"s", arrow::decimal128(38, 0), R"(["4294967306"])"}}},
        SqlCase{"SELECT sum(row_count) AS s FROM information_schema.tables WHERE row_count > 100",
                Ok,
                "",
                {{"s", arrow::decimal128(38, 0), "[null]"}}},
        // Names the service gives by the expression's text are not guessed.
        SqlCase{
            "SELECT max(table_name) FROM information_schema.tables",
            NotHandled,
            "a select item without an alias is named by its text on the service; left to compute",
            {}},
        SqlCase{
            "SELECT table_schema, count(*) FROM information_schema.tables GROUP BY table_schema "
            "ORDER BY 1",
            Ok,
            "",
            {{"table_schema", arrow::utf8(), R"(["information_schema", "public", "sales", null])"},
             {"count_star()", arrow::int64(), "[1, 2, 2, 1]"}}},
        SqlCase{"SELECT TABLE_SCHEMA AS s, sum(row_count) AS total, max(table_name) AS m FROM "
                "information_schema.tables "
                "GROUP BY table_schema ORDER BY total DESC, s",
                Ok,
                "",
                {{"s", arrow::utf8(), R"(["public", "sales", null, "information_schema"])"},
                 {"total", arrow::decimal128(38, 0), R"(["10", "10", "1", "0"])"},
                 {"m", arrow::utf8(), R"(["orders", "orders", "ghost", "tables"])"}}},
        // Group keys that are not selected are dropped; ORDER BY sees the output.
        SqlCase{
            "SELECT count(*) AS n FROM information_schema.tables GROUP BY table_schema ORDER BY n",
            Ok,
            "",
            {{"n", arrow::int64(), "[1, 1, 2, 2]"}}},
        SqlCase{"SELECT DISTINCT count(*) AS n FROM information_schema.tables GROUP BY "
                "table_schema ORDER BY n",
                Ok,
                "",
                {{"n", arrow::int64(), "[1, 2]"}}},
        SqlCase{"SELECT is_view, table_schema FROM information_schema.tables GROUP BY "
                "table_schema, is_view "
                "ORDER BY 2, 1",
                Ok,
                "",
                {{"is_view", arrow::boolean(), "[true, false, true, false, null]"},
                 {"table_schema", arrow::utf8(),
                  R"(["information_schema", "public", "public", "sales", null])"}}},
        SqlCase{
            "SELECT trigger_name, count(*) FROM information_schema.triggers GROUP BY trigger_name",
            Ok,
            "",
            {{"trigger_name", arrow::utf8(), "[]"}, {"count_star()", arrow::int64(), "[]"}}},
        SqlCase{"SELECT table_schema, count(*) FROM information_schema.tables WHERE row_count > 2 "
                "GROUP BY table_schema ORDER BY 1 LIMIT 1",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["public"])"},
                 {"count_star()", arrow::int64(), "[1]"}}},
        // Inputs Arrow would answer differently from SQL are left to compute.
        SqlCase{"SELECT sum(huge) AS v FROM information_schema.tables",
                NotHandled,
                "sum over 64-bit integers that may overflow is left to compute",
                {}},
        SqlCase{"SELECT avg(huge) AS v FROM information_schema.tables GROUP BY table_schema",
                NotHandled,
                "avg over 64-bit integers that may overflow is left to compute",
                {}},
        SqlCase{"SELECT sum(table_name) AS v FROM information_schema.tables",
                NotHandled,
                "sum over a non-numeric column is left to compute",
                {}},
        SqlCase{"SELECT sum(is_view) AS v FROM information_schema.tables",
                NotHandled,
                "sum over a non-numeric column is left to compute",
                {}},
        SqlCase{"SELECT max(is_view) AS v FROM information_schema.tables",
                NotHandled,
                "max over this column type is left to compute",
                {}},
        SqlCase{"SELECT table_schema FROM information_schema.tables GROUP BY table_schema HAVING "
                "count(*) > 1",
                NotHandled,
                "HAVING is out of scope",
                {}},
        // Errors.
        SqlCase{"SELECT count(DISTINCT table_schema) AS v FROM information_schema.tables",
                Error,
                "DISTINCT aggregates not supported in metadata path",
                {}},
        SqlCase{"SELECT table_schema, count(*) FROM information_schema.tables",
                Error,
                "non-aggregated column not in GROUP BY: table_schema",
                {}},
        SqlCase{"SELECT table_name, count(*) FROM information_schema.tables GROUP BY table_schema",
                Error,
                "non-aggregated column not in GROUP BY: table_name",
                {}},
        SqlCase{"SELECT count(*) + 1 AS n FROM information_schema.tables GROUP BY table_schema",
                Error,
                "projection in aggregate query must be aggregate or group-key column",
                {}},
        SqlCase{"SELECT * FROM information_schema.tables GROUP BY table_schema",
                Error,
                "projection in aggregate query must be aggregate or group-key column",
                {}},
        SqlCase{"SELECT sum(row_count + 1) AS v FROM information_schema.tables",
                Error,
                "sum: only bare column arguments supported",
                {}},
        SqlCase{"SELECT sum(nope) AS v FROM information_schema.tables",
                NotHandled,
                "unknown column nope",
                {}},
        SqlCase{"SELECT count(*) FROM information_schema.tables GROUP BY upper(table_schema)",
                Error,
                "GROUP BY supports only column references",
                {}},
        SqlCase{"SELECT count(*) FROM information_schema.tables GROUP BY nope",
                NotHandled,
                "unknown column nope",
                {}},
        SqlCase{
            "SELECT table_schema, count(*) FROM information_schema.tables GROUP BY table_schema "
            "ORDER BY count(*)",
            Error,
            "ORDER BY <expression> is not supported in the metadata path",
            {}}));

TEST_F(AggregateTest, GroupColumnKeepsFieldMetadata) {
  ExecuteResult result = engine_.execute_sql(
      "SELECT table_schema, count(*) FROM information_schema.tables GROUP BY table_schema");
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.error;
  auto metadata = result.schema->field(0)->metadata();
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->Get("comment").ValueOr(""), "schema of the table");
}

}  // namespace
}  // namespace zv_sql
