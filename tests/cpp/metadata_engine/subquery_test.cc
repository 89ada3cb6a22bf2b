#include <gtest/gtest.h>

#include <string>

#include "engine_case.h"
#include "metadata_engine/subquery_internal.h"

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
    auto triggers = arrow::schema(
        {arrow::field("trigger_name", arrow::utf8()), arrow::field("created", arrow::date32())});
    engine_.register_relation("information_schema.triggers", triggers, {});
    auto routines = make_batch(
        {{"routine_name", arrow::utf8(), R"(["f"])"}, {"created", arrow::date32(), "[1]"}});
    engine_.register_relation("information_schema.routines", routines->schema(), {routines});
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
        SqlCase{"SELECT count(*) AS n FROM (SELECT * FROM " TABLES ") AS derived",
                Ok,
                "",
                {{"n", arrow::int64(), "[4]"}}},
        SqlCase{"SELECT table_name FROM (SELECT table_name, row_count FROM " TABLES
                " WHERE row_count > 2) d "
                "ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders"])"}}},
        // The inner ORDER BY and LIMIT decide which rows the outer query sees.
        SqlCase{"SELECT table_name FROM (SELECT table_name FROM " TABLES
                " ORDER BY table_name LIMIT 2) d "
                "ORDER BY 1 DESC",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["items", "ghost"])"}}},
        SqlCase{"SELECT n FROM (SELECT table_schema, count(*) AS n FROM " COLUMNS
                " GROUP BY table_schema) g "
                "WHERE n > 1",
                Ok,
                "",
                {{"n", arrow::int64(), "[2, 2]"}}},
        SqlCase{"SELECT * FROM (SELECT table_name FROM " TABLES " WHERE 1 = 0) d",
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        SqlCase{"SELECT x FROM (SELECT x FROM (SELECT table_name AS x FROM " TABLES
                ") a) b ORDER BY x",
                Ok,
                "",
                {{"x", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"}}},
        SqlCase{"SELECT * FROM (SELECT * FROM nowhere) d",
                NotHandled,
                "relation not cached: nowhere",
                {}},
        // An unknown name cannot be told from an outer reference.
        SqlCase{
            "SELECT * FROM (SELECT nope FROM " TABLES ") d", NotHandled, "unknown column nope", {}},
        SqlCase{"SELECT * FROM (SELECT table_name FROM " TABLES " ORDER BY 5) d",
                Error,
                "ORDER BY ordinal out of range",
                {}},
        // Renamed columns of a derived table would be answered under the inner names.
        SqlCase{"SELECT a FROM (SELECT table_name AS a, table_schema AS b FROM " TABLES ") d(b, a)",
                NotHandled,
                "column aliases on a derived table are out of scope",
                {}},
        SqlCase{"SELECT * FROM (VALUES (1, 'a'), (2, NULL)) v",
                Ok,
                "",
                {{"col0", arrow::int32(), "[1, 2]"}, {"col1", arrow::utf8(), R"(["a", null])"}}},
        SqlCase{"SELECT * FROM (VALUES (1, 'a')) v(n)",
                Ok,
                "",
                {{"n", arrow::int32(), "[1]"}, {"col1", arrow::utf8(), R"(["a"])"}}},
        // A decimal value makes the column decimal in SQL, which the engine
        // does not compute with.
        SqlCase{"SELECT n FROM (VALUES (1), (2.5), (-3)) AS v(n)",
                NotHandled,
                "decimal constant outside a comparison with a column is left to compute",
                {}},
        SqlCase{"SELECT * FROM (VALUES (true), (NULL), (false)) v(b)",
                Ok,
                "",
                {{"b", arrow::boolean(), "[true, null, false]"}}},
        SqlCase{"SELECT * FROM (VALUES (NULL), (NULL)) v(x)",
                Ok,
                "",
                {{"x", arrow::null(), "[null, null]"}}},
        SqlCase{"SELECT n * 2 AS d FROM (VALUES (1), (2)) v(n) WHERE n > 1",
                Ok,
                "",
                {{"d", arrow::int32(), "[4]"}}},
        SqlCase{"SELECT * FROM (VALUES (1), ('a')) v",
                NotHandled,
                "VALUES column mixes value types; left to compute",
                {}},
        SqlCase{"SELECT * FROM (VALUES (1, 2), (3)) v",
                Error,
                "VALUES row has mismatched column count",
                {}},
        SqlCase{"SELECT * FROM (VALUES (1 + 1)) v", Error, "VALUES with non-literal element", {}},
        SqlCase{"SELECT * FROM (VALUES (1)) v(a, b)",
                Error,
                "VALUES list has fewer columns than alias names",
                {}},
        // Clauses on the VALUES itself change its rows.
        SqlCase{"SELECT * FROM (VALUES (1), (2) LIMIT 1) v",
                NotHandled,
                "VALUES with ORDER BY, LIMIT or WITH is out of scope",
                {}},
        SqlCase{"SELECT t.table_name, v.label FROM " TABLES
                " t JOIN (VALUES ('orders', 'o'), ('leads', 'l')) "
                "v(name, label) ON t.table_name = v.name ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders"])"},
                 {"label", arrow::utf8(), R"(["l", "o"])"}}}));

INSTANTIATE_TEST_SUITE_P(
    InAndScalar, SubqueryTest,
    ::testing::Values(
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT table_name FROM " COLUMNS ") ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"}}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name NOT IN (SELECT table_name FROM " COLUMNS ")",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["items"])"}}},
        SqlCase{"SELECT table_name FROM " TABLES " WHERE row_count NOT IN "
                "(SELECT max_length FROM " COLUMNS " WHERE max_length IS NOT NULL) ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"}}},
        // A null among the subquery's values makes every non-match unknown.
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE row_count NOT IN (SELECT max_length FROM " COLUMNS ")",
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        // Against no values at all, IN is false and NOT IN true, a null operand included.
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE row_count NOT IN (SELECT max_length FROM " COLUMNS
                " WHERE 1 = 0) ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"}}},
        SqlCase{"SELECT table_name, row_count IN (SELECT max_length FROM " COLUMNS
                " WHERE 1 = 0) AS m FROM " TABLES " ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"},
                 {"m", arrow::boolean(), "[false, false, false, false]"}}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT table_name FROM " COLUMNS
                " WHERE ordinal_position IN (SELECT row_count FROM " TABLES
                " WHERE row_count IS NOT NULL)) ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"}}},
        // Integers meet decimals as doubles, never by truncating the decimal.
        SqlCase{"SELECT table_name FROM " TABLES " WHERE row_count IN (3.5, 10.0)",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders"])"}}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT ordinal_position FROM " COLUMNS ")",
                Error,
                "IN list compares text with a number or boolean",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT table_name, column_name FROM " COLUMNS ")",
                Error,
                "Invalid: IN-subquery must return exactly one column",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE row_count = (SELECT max(row_count) FROM " TABLES ")",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["orders"])"}}},
        SqlCase{"SELECT table_name, (SELECT count(*) FROM " COLUMNS ") AS n FROM " TABLES
                " WHERE table_name = 'leads'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads"])"}, {"n", arrow::int64(), "[5]"}}},
        // No row: a null of the column's type.
        SqlCase{"SELECT table_name, (SELECT max_length FROM " COLUMNS
                " WHERE 1 = 0) AS m FROM " TABLES " WHERE table_name = 'leads'",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads"])"}, {"m", arrow::int64(), "[null]"}}},
        SqlCase{"SELECT table_name FROM " TABLES " WHERE row_count = (SELECT row_count FROM " TABLES
                ")",
                Error,
                "Invalid: scalar subquery returned more than one row",
                {}},
        SqlCase{"SELECT (SELECT table_name, row_count FROM " TABLES " LIMIT 1) AS x FROM " TABLES,
                Error,
                "Invalid: scalar subquery must return exactly one column",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE (SELECT created FROM information_schema.routines) IS NULL",
                NotHandled,
                "a subquery's date32 value has no literal type",
                {}},
        // Run on its own, a correlated subquery would bind t.table_name to the
        // inner column of the same name and count every row.
        SqlCase{"SELECT t.table_name, (SELECT count(*) FROM " COLUMNS
                " c WHERE c.table_name = t.table_name) AS n FROM " TABLES " t",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " t WHERE row_count IN (SELECT row_count FROM " TABLES
                " t2 WHERE t2.table_schema = t.table_schema)",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_schema)",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT table_name FROM " COLUMNS
                " WHERE max_length = row_count)",
                NotHandled,
                "correlated subquery is left to compute (outer reference row_count)",
                {}},
        // Outer references two levels down count too.
        SqlCase{"SELECT table_name FROM " TABLES
                " t WHERE table_name IN (SELECT table_name FROM " COLUMNS
                " c WHERE c.ordinal_position IN (SELECT row_count FROM " TABLES
                " t2 WHERE t2.table_name = t.table_name))",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT x FROM (SELECT * FROM nowhere) d)",
                NotHandled,
                "relation not cached: nowhere",
                {}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT table_name FROM " COLUMNS " ORDER BY 9)",
                Error,
                "ORDER BY ordinal out of range",
                {}},
        SqlCase{"SELECT t.table_name FROM " TABLES " t JOIN " COLUMNS
                " c ON t.table_name = c.table_name "
                "AND c.column_name IN (SELECT column_name FROM " COLUMNS ")",
                NotHandled,
                "subqueries in JOIN conditions are left to compute",
                {}}));

#define EXISTS_C(condition) "EXISTS (SELECT 1 FROM " COLUMNS " c WHERE " condition ")"
#define SAME_TABLE "c.table_name = t.table_name AND c.table_schema = t.table_schema"

INSTANTIATE_TEST_SUITE_P(
    Exists, SubqueryTest,
    ::testing::Values(
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE " EXISTS_C("c.table_name = t.table_name") " ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "leads", "orders"])"}}},
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE NOT " EXISTS_C("c.table_name = t.table_name"),
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["items"])"}}},
        // Null keys never match: ghost's null schema has no partner.
        SqlCase{"SELECT t.table_name FROM " TABLES " t WHERE " EXISTS_C(SAME_TABLE) " ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders"])"}}},
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE NOT " EXISTS_C(SAME_TABLE) " ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "items"])"}}},
        SqlCase{"SELECT * FROM " TABLES " t WHERE " EXISTS_C(SAME_TABLE) " ORDER BY table_name",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["sales", "public"])"},
                 {"table_name", arrow::utf8(), R"(["leads", "orders"])"},
                 {"row_count", arrow::int64(), "[3, 10]"}}},
        SqlCase{"SELECT t.table_schema, count(*) AS n FROM " TABLES
                " t WHERE t.row_count >= 1 AND " EXISTS_C(
                    SAME_TABLE) " GROUP BY t.table_schema ORDER BY 1",
                Ok,
                "",
                {{"table_schema", arrow::utf8(), R"(["public", "sales"])"},
                 {"n", arrow::int64(), "[1, 1]"}}},
        // An unqualified outer name; a null outer key has no match, so NOT EXISTS keeps it.
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE NOT " EXISTS_C("c.max_length = row_count") " ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"}}},
        SqlCase{"SELECT table_name FROM " TABLES
                " WHERE table_name IN (SELECT c.table_name FROM " COLUMNS " c WHERE "
                "EXISTS (SELECT 1 FROM " TABLES " t2 WHERE t2.table_name = c.table_name AND "
                "t2.table_schema = c.table_schema)) ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["leads", "orders"])"}}},
        // Against an empty relation: no match for anyone.
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE NOT EXISTS (SELECT 1 FROM information_schema.triggers tr "
                "WHERE tr.trigger_name = t.table_name) ORDER BY 1",
                Ok,
                "",
                {{"table_name", arrow::utf8(), R"(["ghost", "items", "leads", "orders"])"}}},
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE EXISTS (SELECT 1 FROM information_schema.triggers tr "
                "WHERE tr.trigger_name = t.table_name)",
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE 1 = 0 AND " EXISTS_C("c.table_name = t.table_name"),
                Ok,
                "",
                {{"table_name", arrow::utf8(), "[]"}}},
        // Uncorrelated: run once. An aggregate always yields a row.
        SqlCase{"SELECT count(*) AS n FROM " TABLES
                " WHERE EXISTS (SELECT count(*) FROM information_schema.triggers)",
                Ok,
                "",
                {{"n", arrow::int64(), "[4]"}}},
        SqlCase{"SELECT count(*) AS n FROM " TABLES
                " WHERE EXISTS (SELECT * FROM information_schema.triggers)",
                Ok,
                "",
                {{"n", arrow::int64(), "[0]"}}},
        SqlCase{"SELECT count(*) AS n FROM " TABLES
                " WHERE NOT EXISTS (SELECT * FROM information_schema.triggers)",
                Ok,
                "",
                {{"n", arrow::int64(), "[4]"}}},
        // Not rewritable, and correlated: compute answers.
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE " EXISTS_C("c.table_name = t.table_name AND "
                                     "c.ordinal_position = 2"),
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        SqlCase{"SELECT t.table_name FROM " TABLES " t WHERE EXISTS (SELECT count(*) FROM " COLUMNS
                " c WHERE c.table_name = t.table_name)",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        SqlCase{"SELECT t.table_name FROM " TABLES " t WHERE EXISTS (SELECT 1 FROM " COLUMNS
                " c WHERE c.table_name = t.table_name LIMIT 0)",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        // Under OR a join would drop rows the other branch keeps (items).
        SqlCase{"SELECT t.table_name FROM " TABLES
                " t WHERE t.row_count IS NULL OR " EXISTS_C("c.table_name = t.table_name"),
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}},
        SqlCase{"SELECT t.table_name, " EXISTS_C("c.table_name = t.table_name") " AS e FROM " TABLES
                                                                                " t",
                NotHandled,
                "correlated subquery is left to compute (outer reference t.table_name)",
                {}}));

SelectPtr parse(const std::string& sql) {
  ParseStatus status;
  SelectPtr statement = parse_select(sql, status);
  EXPECT_TRUE(statement) << status.message;
  return statement;
}

TEST_F(SubqueryTest, ExistsBecomesSemiJoinAndWhereBecomesTrue) {
  SelectPtr statement = parse("SELECT * FROM " TABLES " t WHERE " EXISTS_C(SAME_TABLE));
  ASSERT_TRUE(statement);
  internal::rewrite_exists(engine_.registry(), *statement);
  auto* join = std::get_if<std::unique_ptr<JoinClause>>(&statement->from->node);
  ASSERT_TRUE(join && *join);
  EXPECT_EQ((*join)->type, JoinType::Semi);
  EXPECT_TRUE(std::holds_alternative<RelationRef>((*join)->left->node));
  EXPECT_EQ(std::get<RelationRef>((*join)->right->node).alias, "c");
  ASSERT_TRUE(statement->where);
  const auto* literal = std::get_if<Literal>(&statement->where->node);
  ASSERT_TRUE(literal);
  EXPECT_EQ(literal->value, Literal::Value(true));

  statement =
      parse("SELECT * FROM " TABLES " t WHERE NOT " EXISTS_C("c.table_name = t.table_name"));
  internal::rewrite_exists(engine_.registry(), *statement);
  join = std::get_if<std::unique_ptr<JoinClause>>(&statement->from->node);
  ASSERT_TRUE(join && *join);
  EXPECT_EQ((*join)->type, JoinType::Anti);
}

TEST_F(SubqueryTest, ExistsOutsideTheConjunctsIsNotRewritten) {
  for (const char* sql :
       {"SELECT * FROM " TABLES
        " t WHERE t.row_count = 1 OR " EXISTS_C("c.table_name = t.table_name"),
        "SELECT * FROM " TABLES " t WHERE (" EXISTS_C("c.table_name = t.table_name") ") = false",
        "SELECT * FROM " TABLES
        " t WHERE " EXISTS_C("c.table_name = t.table_name AND c.max_length > 1")}) {
    SelectPtr statement = parse(sql);
    ASSERT_TRUE(statement);
    internal::rewrite_exists(engine_.registry(), *statement);
    EXPECT_TRUE(std::holds_alternative<RelationRef>(statement->from->node)) << sql;
  }
}

// Nesting deeper than the engine's cap goes to compute instead of recursing on.
TEST_F(SubqueryTest, DeeplyNestedDerivedTablesAreDeclined) {
  std::string sql = "SELECT * FROM " TABLES;
  for (int i = 0; i < 40; ++i) {
    sql.insert(0, "SELECT * FROM (");
    sql += ") d";
    sql += std::to_string(i);
  }
  ExecuteResult result = engine_.execute_sql(sql);
  ASSERT_EQ(result.status, ExecuteStatus::NotHandled) << result.error;
  EXPECT_EQ(result.reason, "subqueries nested too deeply for the metadata path");

  std::string shallow = "SELECT * FROM " TABLES;
  for (int i = 0; i < 10; ++i) {
    shallow.insert(0, "SELECT * FROM (");
    shallow += ") d";
    shallow += std::to_string(i);
  }
  result = engine_.execute_sql(shallow);
  ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.reason << result.error;
  EXPECT_EQ(result.batches.front()->num_rows(), 4);
}

}  // namespace
}  // namespace zv_sql
