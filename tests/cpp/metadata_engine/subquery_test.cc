#include <gtest/gtest.h>

#include <string>

#include "engine_case.h"

namespace zv_sql {
namespace {

using testing::make_batch;
using testing::SqlCase;

class SubqueryTest : public ::testing::TestWithParam<SqlCase> {
 protected:
  void SetUp() override {
    auto tables = make_batch({
        {"table_schema", arrow::utf8(), R"(["public", "public", "sales", null])"},
        {"table_name", arrow::utf8(), R"(["orders", "items", "leads", "ghost"])"},
        {"row_count", arrow::int64(), "[10, null, 3, 1]"},
    });
    engine_.register_relation("information_schema.tables", tables->schema(), {tables});
    auto columns = make_batch({
        {"table_schema", arrow::utf8(), R"(["public", "public", "sales", "sales", null])"},
        {"table_name", arrow::utf8(), R"(["orders", "orders", "leads", "orders", "ghost"])"},
        {"column_name", arrow::utf8(), R"(["id", "total", "lid", "sid", "g"])"},
        {"ordinal_position", arrow::int32(), "[1, 2, 1, 1, 1]"},
        {"max_length", arrow::int64(), "[null, 64, 8, null, null]"},
    });
    engine_.register_relation("information_schema.columns", columns->schema(), {columns});
    auto triggers = arrow::schema({arrow::field("trigger_name", arrow::utf8()), arrow::field("created", arrow::date32())});
    engine_.register_relation("information_schema.triggers", triggers, {});
  }

  MetadataEngine engine_;
};

TEST_P(SubqueryTest, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;
const auto Error = ExecuteStatus::Error;

#define TABLES "information_schema.tables"
#define COLUMNS "information_schema.columns"

INSTANTIATE_TEST_SUITE_P(
    DerivedAndValues, SubqueryTest,
    ::testing::Values(
        SqlCase{"SELECT count(*) AS n FROM (SELECT * FROM " TABLES ") AS derived", Ok, "",
                {{"n", arrow::int64(), "[4]"}}},
        SqlCase{"SELECT table_name FROM (SELECT table_name, row_count FROM " TABLES " WHERE row_count > 2) d "
                "ORDER BY 1",
                Ok, "", {{"table_name", arrow::utf8(), R"(["leads", "orders"])"}}},
        // The inner ORDER BY and LIMIT decide which rows the outer query sees.
        SqlCase{"SELECT table_name FROM (SELECT table_name FROM " TABLES " ORDER BY table_name LIMIT 2) d "
                "ORDER BY 1 DESC",
                Ok, "", {{"table_name", arrow::utf8(), R"(["items", "ghost"])"}}},
        SqlCase{"SELECT n FROM (SELECT table_schema, count(*) AS n FROM " COLUMNS " GROUP BY table_schema) g "
                "WHERE n > 1",
                Ok, "", {{"n", arrow::int64(), "[2, 2]"}}},
        SqlCase{"SELECT * FROM (SELECT table_name FROM " TABLES " WHERE 1 = 0) d", Ok, "",
                {{"table_name", arrow::utf8(), "[]"}}},
        SqlCase{"SELECT x FROM (SELECT x FROM (SELECT table_name AS x FROM " TABLES ") a) b ORDER BY x", Ok, "",
                {{"x", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"}}},
        SqlCase{"SELECT * FROM (SELECT * FROM nowhere) d", NotHandled, "relation not cached: nowhere", {}},
        // An unknown name cannot be told from an outer reference.
        SqlCase{"SELECT * FROM (SELECT nope FROM " TABLES ") d", NotHandled,
                "correlated subquery is left to compute (outer reference nope)", {}},
        SqlCase{"SELECT * FROM (SELECT table_name FROM " TABLES " ORDER BY 5) d", Error,
                "ORDER BY ordinal out of range", {}},
        // Renamed columns of a derived table would be answered under the inner names.
        SqlCase{"SELECT a FROM (SELECT table_name AS a, table_schema AS b FROM " TABLES ") d(b, a)", NotHandled,
                "column aliases on a derived table are out of scope", {}},
        SqlCase{"SELECT * FROM (VALUES (1, 'a'), (2, NULL)) v", Ok, "",
                {{"column1", arrow::int64(), "[1, 2]"}, {"column2", arrow::utf8(), R"(["a", null])"}}},
        SqlCase{"SELECT * FROM (VALUES (1, 'a')) v(n)", Ok, "",
                {{"n", arrow::int64(), "[1]"}, {"column2", arrow::utf8(), R"(["a"])"}}},
        // Integers widen when a later row holds a decimal, as SQL unifies the rows.
        SqlCase{"SELECT n FROM (VALUES (1), (2.5), (-3)) AS v(n)", Ok, "",
                {{"n", arrow::float64(), "[1.0, 2.5, -3.0]"}}},
        SqlCase{"SELECT * FROM (VALUES (true), (NULL), (false)) v(b)", Ok, "",
                {{"b", arrow::boolean(), "[true, null, false]"}}},
        SqlCase{"SELECT * FROM (VALUES (NULL), (NULL)) v(x)", Ok, "", {{"x", arrow::utf8(), "[null, null]"}}},
        SqlCase{"SELECT n * 2 AS d FROM (VALUES (1), (2)) v(n) WHERE n > 1", Ok, "", {{"d", arrow::int64(), "[4]"}}},
        SqlCase{"SELECT * FROM (VALUES (1), ('a')) v", NotHandled, "VALUES column mixes value types; left to compute",
                {}},
        SqlCase{"SELECT * FROM (VALUES (1, 2), (3)) v", Error, "VALUES row has mismatched column count", {}},
        SqlCase{"SELECT * FROM (VALUES (1 + 1)) v", Error, "VALUES with non-literal element", {}},
        SqlCase{"SELECT * FROM (VALUES (1)) v(a, b)", Error, "VALUES list has fewer columns than alias names", {}},
        // Clauses on the VALUES itself change its rows.
        SqlCase{"SELECT * FROM (VALUES (1), (2) LIMIT 1) v", NotHandled,
                "VALUES with ORDER BY, LIMIT or WITH is out of scope", {}},
        SqlCase{"SELECT t.table_name, v.label FROM " TABLES " t JOIN (VALUES ('orders', 'o'), ('leads', 'l')) "
                "v(name, label) ON t.table_name = v.name ORDER BY 1",
                Ok, "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders"])"}, {"label", arrow::utf8(), R"(["l", "o"])"}}}));

// Nesting deeper than the engine's cap goes to compute instead of recursing on.
TEST_F(SubqueryTest, DeeplyNestedDerivedTablesAreDeclined) {
  std::string sql = "SELECT * FROM " TABLES;
  for (int i = 0; i < 40; ++i) sql = "SELECT * FROM (" + sql + ") d" + std::to_string(i);
  ExecuteResult result = engine_.execute_sql(sql);
  ASSERT_EQ(result.status, ExecuteStatus::NotHandled) << result.error;
  EXPECT_EQ(result.reason, "subqueries nested too deeply for the metadata path");

  std::string shallow = "SELECT * FROM " TABLES;
  for (int i = 0; i < 10; ++i) shallow = "SELECT * FROM (" + shallow + ") d" + std::to_string(i);
  result = engine_.execute_sql(shallow);
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.reason << result.error;
  EXPECT_EQ(result.batches.front()->num_rows(), 4);
}

}  // namespace
}  // namespace zv_sql
