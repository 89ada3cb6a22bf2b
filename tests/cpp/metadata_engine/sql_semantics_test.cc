// Statements whose SQL answer a straightforward evaluation gets wrong: the
// engine must answer them as SQL does, or leave them to compute.
#include <gtest/gtest.h>

#include <set>

#include <arrow/builder.h>

#include "engine_case.h"

namespace zv_sql {
namespace {

using testing::make_batch;
using testing::SqlCase;

class SqlSemantics : public ::testing::TestWithParam<SqlCase> {
 protected:
  void SetUp() override {
    auto tables = make_batch({
        {"table_name", arrow::utf8(), R"(["café", "CAFÉ", "Straße", "cafe", "x_y", null])"},
        {"n", arrow::int64(), "[1, 2, 3, 4, null, 6]"},
        {"ratio", arrow::float64(), "[0.5, 1.5, null, 2.0, 0.25, 1.0]"},
    });
    engine_.register_relation("information_schema.tables", tables->schema(), {tables});
    engine_.registry().register_schema_only(
        "information_schema.check_constraints",
        arrow::schema({arrow::field("constraint_name", arrow::utf8()),
                       arrow::field("check_clause", arrow::utf8())}));
  }

  MetadataEngine engine_;
};

TEST_P(SqlSemantics, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;
const auto Error = ExecuteStatus::Error;
#define T " FROM information_schema.tables t"

INSTANTIATE_TEST_SUITE_P(
    Semantics, SqlSemantics,
    ::testing::Values(
        // ILIKE folds Unicode case with and without wildcards alike.
        SqlCase{"SELECT table_name" T " WHERE table_name ILIKE 'CAFÉ'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["café", "CAFÉ"])"}}},
        SqlCase{"SELECT table_name" T
                " WHERE table_name ILIKE 'caf_' AND table_name NOT ILIKE '%E'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["café", "CAFÉ"])"}}},
        SqlCase{"SELECT table_name" T " WHERE table_name ILIKE 'STRASSE'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        // LIKE NULL is unknown: no row passes, negated or not.
        SqlCase{"SELECT table_name" T " WHERE table_name NOT LIKE NULL",
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        SqlCase{"SELECT n, table_name LIKE NULL AS m" T " WHERE n < 3",
                Ok,
                "",
                {{"n", arrow::int64(), "[1, 2]"}, {"m", arrow::boolean(), "[null, null]"}}},
        // An aggregate inside an expression still makes the subquery yield a
        // row for every outer row: no anti join.
        SqlCase{"SELECT table_name" T
                " WHERE NOT EXISTS (SELECT count(*) + 0 FROM information_schema.tables i "
                "WHERE i.n = t.n)",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.n)",
                {}},
        // Decimal constants are exact in SQL: compared with a column they are
        // fine, in arithmetic or as values they go to compute.
        SqlCase{"SELECT n" T " WHERE ratio > 0.5 AND n IN (1.0, 2, 4.5)",
                Ok,
                "",
                {{"n", arrow::int64(), "[2]"}}},
        SqlCase{"SELECT n" T " WHERE 0.5 + 0.25 = 0.75",
                NotHandled,
                "decimal constant outside a comparison with a column is left to compute",
                {}},
        SqlCase{"SELECT n * 1.5 AS m" T,
                NotHandled,
                "decimal constant outside a comparison with a column is left to compute",
                {}},
        SqlCase{"SELECT v FROM (VALUES (0.5)) x(v)",
                NotHandled,
                "decimal constant outside a comparison with a column is left to compute",
                {}},
        SqlCase{"SELECT v FROM (VALUES (0.1)) x(v)",
                NotHandled,
                "decimal constant a double does not hold exactly is left to compute",
                {}},
        // Integers beyond 32 bits stay exact integers; overflow goes to
        // compute, which raises it.
        SqlCase{"SELECT n + 4294967296 AS m" T " WHERE n = 1",
                Ok,
                "",
                {{"m", arrow::int64(), "[4294967297]"}}},
        SqlCase{"SELECT n + 9223372036854775807 AS m" T,
                NotHandled,
                "integer overflow: left to compute, which reports it",
                {}},
        // Integers divide as doubles.
        SqlCase{"SELECT n / 4 AS h" T " WHERE n = 2", Ok, "", {{"h", arrow::float64(), "[0.5]"}}},
        // What the dialect decides goes to compute.
        SqlCase{"SELECT CAST(ratio AS varchar) AS r" T,
                NotHandled,
                "cast of double to string is left to compute: the service converts it differently "
                "or not at all",
                {}},
        SqlCase{
            "SELECT table_name" T " WHERE table_name LIKE 'x\\_y'",
            NotHandled,
            "LIKE pattern with a backslash is left to compute: its meaning depends on the dialect",
            {}},
        SqlCase{"SELECT CAST(n AS smallint) AS s" T " WHERE n = 2",
                Ok,
                "",
                {{"s", arrow::int16(), "[2]"}}},
        SqlCase{"SELECT CAST(table_name AS varchar(2)) AS s" T,
                NotHandled,
                "CAST to varchar is left to compute",
                {}},
        // A relation known only by its columns has no rows to answer from.
        SqlCase{"SELECT count(*) FROM information_schema.check_constraints",
                NotHandled,
                "relation information_schema.check_constraints has no rows in the catalog "
                "snapshot; left to compute",
                {}}));

// DISTINCT keeps one row per distinct value however many there are, in the
// order of their first appearance.
TEST(Distinct, ManyDistinctRowsInFirstAppearanceOrder) {
  arrow::StringBuilder names;
  arrow::Int32Builder flags;
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(names.Append("t" + std::to_string((i * 7) % 50)).ok());
    ASSERT_TRUE(flags.Append(i % 3).ok());
  }
  auto schema = arrow::schema(
      {arrow::field("table_name", arrow::utf8()), arrow::field("flag", arrow::int32())});
  arrow::ArrayVector arrays = {*names.Finish(), *flags.Finish()};
  auto batch = arrow::RecordBatch::Make(schema, 600, arrays);
  MetadataEngine engine;
  engine.register_relation("information_schema.columns", schema,
                           std::vector<std::shared_ptr<arrow::RecordBatch>>{batch});
  ExecuteResult result =
      engine.execute_sql("SELECT DISTINCT table_name, flag FROM information_schema.columns");
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.reason << result.error;
  const auto& out = result.batches.front();
  ASSERT_EQ(out->num_rows(), 150);
  const auto& out_names = static_cast<const arrow::StringArray&>(*out->column(0));
  const auto& out_flags = static_cast<const arrow::Int32Array&>(*out->column(1));
  std::set<std::pair<std::string, int>> seen;
  int row = 0;
  for (int i = 0; i < 600; ++i) {
    std::pair<std::string, int> key{"t" + std::to_string((i * 7) % 50), i % 3};
    if (!seen.insert(key).second) continue;
    ASSERT_EQ(std::string(out_names.GetView(row)), key.first) << row;
    ASSERT_EQ(out_flags.Value(row), key.second) << row;
    ++row;
  }
}

}  // namespace
}  // namespace zv_sql
