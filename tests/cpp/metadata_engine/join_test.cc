#include <gtest/gtest.h>

#include <arrow/builder.h>
#include <arrow/util/key_value_metadata.h>

#include "engine_case.h"

namespace zv_sql {
namespace {

using testing::make_batch;
using testing::SqlCase;

class JoinTest : public ::testing::TestWithParam<SqlCase> {
 protected:
  void SetUp() override {
    auto tables = make_batch({
        {"table_schema", arrow::utf8(), R"(["public", "public", "sales", null])"},
        {"table_name", arrow::utf8(), R"(["orders", "items", "leads", "ghost"])"},
        {"row_count", arrow::int64(), "[10, null, 3, 1]"},
    });
    auto schema = *tables->schema()->SetField(
        1, tables->schema()->field(1)->WithMetadata(
               arrow::key_value_metadata({"comment"}, {"name of the table"})));
    tables = arrow::RecordBatch::Make(schema, tables->num_rows(), tables->columns());
    engine_.register_relation("information_schema.tables", tables->schema(), {tables});
    auto columns = make_batch({
        {"table_schema", arrow::utf8(), R"(["public", "public", "sales", "sales", null])"},
        {"table_name", arrow::utf8(), R"(["orders", "orders", "leads", "orders", "ghost"])"},
        {"column_name", arrow::utf8(), R"(["id", "total", "lid", "sid", "g"])"},
    });
    engine_.register_relation("information_schema.columns", columns->schema(), {columns});
  }

  MetadataEngine engine_;
};

TEST_P(JoinTest, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;
const auto Error = ExecuteStatus::Error;

#define T "information_schema.tables t"
#define C "information_schema.columns c"
#define ON_BOTH " ON t.table_name = c.table_name AND t.table_schema = c.table_schema"

INSTANTIATE_TEST_SUITE_P(
    Joins, JoinTest,
    ::testing::Values(
        // A qualified ORDER BY name is the column of that relation, not the
        // first output column with the same bare name.
        SqlCase{
            "SELECT t.table_name, c.table_schema FROM " T " JOIN " C
            " ON t.table_name = c.table_name ORDER BY c.table_schema DESC, c.column_name",
            Ok,
            "",
            {{"table_name", arrow::utf8(), R"(["leads", "orders", "orders", "orders", "ghost"])"},
             {"table_schema", arrow::utf8(), R"(["sales", "sales", "public", "public", null])"}}},
        SqlCase{"SELECT t.table_schema AS column_name FROM " T " JOIN " C ON_BOTH
                " ORDER BY c.column_name",
                Ok,
                "",
                {{"column_name", arrow::utf8(), R"(["public", "sales", "public"])"}}},
        SqlCase{"SELECT t.table_name FROM " T " JOIN " C ON_BOTH " ORDER BY column_name DESC",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders", "leads", "orders"])"}}},
        SqlCase{"SELECT t.table_name FROM " T " JOIN " C ON_BOTH " ORDER BY table_schema",
                NotHandled,
                "ambiguous column table_schema",
                {}},
        SqlCase{"SELECT t.table_name, c.column_name FROM " T " JOIN " C ON_BOTH " ORDER BY 1, 2",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders", "orders"])"},
                 {"column_name", arrow::utf8(), R"(["lid", "id", "total"])"}}},
        // Keys in either order; the rest of ON filters the joined rows.
        SqlCase{"SELECT t.table_name, c.column_name FROM " T " JOIN " C
                " ON c.table_name = t.table_name AND c.column_name <> 'id' ORDER BY 1, 2",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders", "orders"])"},
                 {"column_name", arrow::utf8(), R"(["g", "lid", "sid", "total"])"}}},
        SqlCase{
            "SELECT t.table_name, c.column_name FROM " T " LEFT JOIN " C ON_BOTH " ORDER BY 1, 2",
            Ok,
            "",
            {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders", "orders"])"},
             {"column_name", arrow::utf8(), R"([null, null, "lid", "id", "total"])"}}},
        // A qualified reference reaches the right side's own column, null when unmatched.
        SqlCase{
            "SELECT t.table_name, c.table_name FROM " T " LEFT JOIN " C ON_BOTH " ORDER BY 1",
            Ok,
            "",
            {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders", "orders"])"},
             {"table_name", arrow::utf8(), R"([null, null, "leads", "orders", "orders"])"}}},
        SqlCase{
            "SELECT t.table_name AS tn, c.column_name FROM " T " FULL JOIN " C ON_BOTH
            " ORDER BY 2, 1",
            Ok,
            "",
            {{"tn", arrow::utf8(),
              R"([null, "orders", "leads", null, "orders", "ghost", "items"])"},
             {"column_name", arrow::utf8(), R"(["g", "id", "lid", "sid", "total", null, null])"}}},
        SqlCase{"SELECT c.column_name, t.row_count FROM " T " RIGHT JOIN " C ON_BOTH " ORDER BY 1",
                Ok,
                "",
                {{"column_name", arrow::utf8(), R"(["g", "id", "lid", "sid", "total"])"},
                 {"row_count", arrow::int64(), "[null, 10, 3, null, 10]"}}},
        SqlCase{"SELECT table_name, column_name FROM " T " JOIN " C
                " USING (table_schema, table_name) ORDER BY 2",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders", "leads", "orders"])"},
                 {"column_name", arrow::utf8(), R"(["id", "lid", "total"])"}}},
        SqlCase{"SELECT table_name, column_name FROM " T " NATURAL JOIN " C " ORDER BY 2",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders", "leads", "orders"])"},
                 {"column_name", arrow::utf8(), R"(["id", "lid", "total"])"}}},
        SqlCase{"SELECT c.* FROM " T " JOIN " C
                " USING (table_schema, table_name) WHERE t.row_count > 5 ORDER BY 3",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["public", "public"])"},
                 {"table_name", arrow::utf8(), R"(["orders", "orders"])"},
                 {"column_name", arrow::utf8(), R"(["id", "total"])"}}},
        SqlCase{"SELECT * FROM " T " JOIN " C ON_BOTH " WHERE column_name = 'lid'",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["sales"])"},
                 {"table_name", arrow::utf8(), R"(["leads"])"},
                 {"row_count", arrow::int64(), "[3]"},
                 {"table_schema", arrow::utf8(), R"(["sales"])"},
                 {"table_name", arrow::utf8(), R"(["leads"])"},
                 {"column_name", arrow::utf8(), R"(["lid"])"}}},
        SqlCase{"SELECT count(*) AS n FROM " T " CROSS JOIN " C,
                Ok,
                "",
                {{"n", arrow::int64(), "[20]"}}},
        SqlCase{"SELECT t.table_name, c.column_name FROM " T ", " C
                " WHERE t.table_name = c.table_name AND c.column_name = 'sid'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders"])"},
                 {"column_name", arrow::utf8(), R"(["sid"])"}}},
        SqlCase{"SELECT t.table_name, c.column_name FROM " T " JOIN " C
                " ON t.row_count > 5 AND c.column_name = 'g'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders"])"},
                 {"column_name", arrow::utf8(), R"(["g"])"}}},
        SqlCase{"SELECT a.table_name, b.table_name AS other FROM information_schema.tables a "
                "JOIN information_schema.tables b ON a.row_count = b.row_count ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"},
                 {"other", arrow::utf8(), R"(["ghost", "leads", "orders"])"}}},
        SqlCase{"SELECT tables.table_name FROM information_schema.tables JOIN "
                "information_schema.columns "
                "ON tables.table_name = columns.table_name AND columns.column_name = 'lid'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads"])"}}},
        SqlCase{"SELECT t.table_schema, count(c.column_name) AS n FROM " T " LEFT JOIN " C ON_BOTH
                " GROUP BY t.table_schema ORDER BY 1",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["public", "sales", null])"},
                 {"n", arrow::int64(), "[2, 1, 0]"}}},
        SqlCase{"SELECT c.table_name, count(*) FROM " T " JOIN " C
                " ON t.table_name = c.table_name "
                "GROUP BY c.table_name ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"},
                 {"count_star()", arrow::int64(), "[1, 1, 3]"}}},
        // Left to compute: what a hash join plus a filter would answer wrongly.
        SqlCase{"SELECT t.table_name FROM " T " LEFT JOIN " C
                " ON t.table_name = c.table_name AND c.column_name <> 'id'",
                NotHandled,
                "outer join with ON conditions other than column equalities is left to compute",
                {}},
        SqlCase{"SELECT t.table_name FROM " T " LEFT JOIN " C " ON t.row_count > 1",
                NotHandled,
                "outer join with ON conditions other than column equalities is left to compute",
                {}},
        SqlCase{"SELECT table_name FROM " T " FULL JOIN " C " USING (table_name)",
                NotHandled,
                "RIGHT or FULL join with USING or NATURAL is left to compute",
                {}},
        SqlCase{"SELECT * FROM " T " JOIN " C " USING (table_name)",
                NotHandled,
                "SELECT * over a USING or NATURAL join is left to compute",
                {}},
        // A derived table joins under its alias.
        SqlCase{
            "SELECT t.table_name FROM " T
            " JOIN (SELECT table_name FROM information_schema.columns) s "
            "ON t.table_name = s.table_name ORDER BY 1",
            Ok,
            "",
            {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders", "orders", "orders"])"}}},
        // Names compute refuses are left to it.
        SqlCase{"SELECT table_name FROM " T " JOIN " C " ON t.table_name = c.table_name",
                NotHandled,
                "ambiguous column table_name",
                {}},
        SqlCase{"SELECT t.table_name FROM " T " JOIN " C " ON table_name = c.table_name",
                NotHandled,
                "ambiguous column table_name",
                {}},
        SqlCase{"SELECT x.table_name FROM " T " JOIN " C ON_BOTH,
                NotHandled,
                "unknown relation in x.table_name",
                {}},
        SqlCase{"SELECT x.* FROM " T " JOIN " C ON_BOTH, NotHandled, "unknown relation x", {}},
        SqlCase{"SELECT t.table_name FROM " T " JOIN " C " USING (nope)",
                Error,
                "join column not found on both sides, or ambiguous: nope",
                {}}));

TEST_F(JoinTest, JoinedColumnsKeepFieldMetadata) {
  ExecuteResult result =
      engine_.execute_sql("SELECT t.table_name, c.column_name FROM " T " JOIN " C ON_BOTH);
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.error << result.reason;
  auto metadata = result.schema->field(0)->metadata();
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->Get("comment").ValueOr(""), "name of the table");
}

// A table of `count` columns, every one in table "wide".
std::shared_ptr<arrow::RecordBatch> WideTable(int count) {
  arrow::StringBuilder tables, columns;
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(tables.Append("wide").ok());
    EXPECT_TRUE(columns.Append("column_with_a_long_name_" + std::to_string(i)).ok());
  }
  auto schema = arrow::schema(
      {arrow::field("table_name", arrow::utf8()), arrow::field("column_name", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, count, {*tables.Finish(), *columns.Finish()});
}

TEST(JoinSize, AJoinTooLargeToHoldGoesToComputeAndASmallOneIsAnswered) {
  const char* self_join =
      "SELECT count(*) AS n FROM information_schema.columns a JOIN information_schema.columns b "
      "ON a.table_name = b.table_name";
  MetadataEngine engine;
  auto wide = WideTable(6000);  // 36 million rows joined
  engine.register_relation("information_schema.columns", wide->schema(), {wide});
  ExecuteResult result = engine.execute_sql(self_join);
  EXPECT_EQ(result.status, ExecuteStatus::NotHandled);
  EXPECT_EQ(result.reason, "join result too large for the metadata engine");

  MetadataEngine small;
  auto narrow = WideTable(300);
  small.register_relation("information_schema.columns", narrow->schema(), {narrow});
  result = small.execute_sql(self_join);
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.reason << result.error;
  EXPECT_EQ(result.batches.at(0)->column(0)->ToString(), "[\n  90000\n]");
}

}  // namespace
}  // namespace zv_sql
