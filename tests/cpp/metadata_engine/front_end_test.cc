#include <gtest/gtest.h>

#include <string>

#include "metadata_engine/parse_select.h"

namespace zv_sql {
namespace {

struct RejectCase {
  std::string sql;
  ParseCode code;
  std::string message;
};

class Rejections : public ::testing::TestWithParam<RejectCase> {};

TEST_P(Rejections, CodeAndMessage) {
  const RejectCase& c = GetParam();
  ParseStatus status;
  SelectPtr statement = parse_select(c.sql, status);
  EXPECT_FALSE(statement);
  EXPECT_EQ(status.code, c.code) << status.message;
  EXPECT_EQ(status.message, c.message);
  EXPECT_EQ(status.location, -1);
}

constexpr auto kMalformed = ParseCode::Malformed;
constexpr auto kOutOfScope = ParseCode::OutOfScope;

INSTANTIATE_TEST_SUITE_P(
    FrontEnd, Rejections,
    ::testing::Values(
        RejectCase{"", kMalformed, "libpg_query produced empty parse tree"},
        RejectCase{"-- only a comment", kMalformed, "libpg_query produced empty parse tree"},
        RejectCase{"/* c */ ;", kMalformed, "libpg_query produced empty parse tree"},
        RejectCase{"SELECT a FROM t; SELECT b FROM t", kOutOfScope,
                   "multi-statement SQL is out of scope"},
        RejectCase{"INSERT INTO t VALUES (1)", kOutOfScope, "not a SELECT statement"},
        RejectCase{"CREATE TABLE t (a int)", kOutOfScope, "not a SELECT statement"},
        RejectCase{"SELECT 1", kOutOfScope, "SELECT without FROM clause"},
        // The set-operation check comes before every other check.
        RejectCase{"WITH c AS (SELECT 1) SELECT a FROM t UNION SELECT b FROM u", kOutOfScope,
                   "set operations (UNION/INTERSECT/EXCEPT) are out of scope"},
        RejectCase{"SELECT a FROM t EXCEPT SELECT a FROM u", kOutOfScope,
                   "set operations (UNION/INTERSECT/EXCEPT) are out of scope"},
        RejectCase{"WITH c AS (SELECT 1) SELECT a FROM c", kOutOfScope,
                   "WITH (CTE) is out of scope"},
        RejectCase{"SELECT a FROM t GROUP BY a HAVING count(*) > 1", kOutOfScope,
                   "HAVING is out of scope"},
        RejectCase{"SELECT a FROM t WINDOW w AS (ORDER BY a)", kOutOfScope,
                   "window functions are out of scope"},
        RejectCase{"VALUES (1), (2)", kOutOfScope, "VALUES list is out of scope"},
        RejectCase{"SELECT a FROM t FOR UPDATE", kOutOfScope, "FOR UPDATE / SHARE is out of scope"},
        RejectCase{"SELECT a FROM t FOR SHARE", kOutOfScope, "FOR UPDATE / SHARE is out of scope"},
        RejectCase{"SELECT DISTINCT ON (a) a FROM t", kOutOfScope, "DISTINCT ON is out of scope"},
        RejectCase{"SELECT FROM t", kMalformed, "SELECT with no projection"},
        RejectCase{"SELECT * INTO u FROM t", kOutOfScope, "SELECT INTO is out of scope"},
        RejectCase{"SELECT a FROM t LIMIT 1+1", kOutOfScope,
                   "LIMIT/OFFSET with non-literal expression"},
        RejectCase{"SELECT a FROM t LIMIT 1.5", kOutOfScope,
                   "LIMIT/OFFSET with non-integer literal"},
        RejectCase{"SELECT a FROM t LIMIT ALL", kOutOfScope,
                   "LIMIT/OFFSET with non-integer literal"},
        RejectCase{"SELECT a FROM t LIMIT NULL", kOutOfScope,
                   "LIMIT/OFFSET with non-integer literal"},
        RejectCase{"SELECT a FROM t LIMIT 3000000000", kOutOfScope,
                   "LIMIT/OFFSET with non-integer literal"},
        RejectCase{"SELECT a FROM t OFFSET 'x'", kOutOfScope,
                   "LIMIT/OFFSET with non-integer literal"},
        RejectCase{"SELECT a FROM t ORDER BY a FETCH FIRST 2 ROWS WITH TIES", kOutOfScope,
                   "FETCH FIRST ... WITH TIES is out of scope"},
        RejectCase{"SELECT a FROM t ORDER BY a USING <", kOutOfScope,
                   "ORDER BY ... USING is out of scope"},
        RejectCase{"SELECT a FROM t WHERE a BETWEEN 1 AND 2", kOutOfScope,
                   "unsupported PGAExpr kind in metadata path"},
        RejectCase{"SELECT a FROM t WHERE a IS DISTINCT FROM 1", kOutOfScope,
                   "unsupported PGAExpr kind in metadata path"},
        RejectCase{"SELECT NULLIF(a, 1) FROM t", kOutOfScope,
                   "unsupported PGAExpr kind in metadata path"},
        RejectCase{"SELECT a FROM t WHERE a SIMILAR TO 'x'", kOutOfScope,
                   "unsupported PGAExpr kind in metadata path"},
        RejectCase{"SELECT a FROM t WHERE a = ANY (ARRAY[1, 2])", kOutOfScope,
                   "unsupported PGAExpr kind in metadata path"},
        RejectCase{"SELECT a FROM t WHERE a ~ 'x'", kOutOfScope, "unsupported binary operator: ~"},
        RejectCase{"SELECT +a FROM t", kMalformed, "binary operator missing operand"},
        RejectCase{"SELECT a FROM t LIMIT -1", kOutOfScope,
                   "negative LIMIT/OFFSET is left to compute"},
        RejectCase{"SELECT s.t.c FROM t", kOutOfScope,
                   "column reference with more than one qualifier is left to compute"},
        RejectCase{"SELECT x'41' FROM t", kOutOfScope, "bit-string constant is left to compute"},
        RejectCase{"SELECT E'a' FROM t", kOutOfScope,
                   "string constant not in plain quotes is left to compute"},
        RejectCase{"SELECT main.lower(a) FROM t", kOutOfScope,
                   "qualified function name is left to compute"},
        RejectCase{"SELECT a FROM ONLY t", kOutOfScope, "FROM ONLY is left to compute"},
        RejectCase{"SELECT a FROM t WHERE a = 0.1", kOutOfScope,
                   "decimal constant a double does not hold exactly is left to compute"},
        RejectCase{"SELECT -9223372036854775808 FROM t", kOutOfScope,
                   "integer constant beyond 64 bits"},
        RejectCase{"SELECT a FROM t WHERE a IN (SELECT b FROM u) IS TRUE", kOutOfScope,
                   "unsupported PG expression node in metadata path"},
        RejectCase{"SELECT $1 FROM t", kOutOfScope,
                   "unsupported PG expression node in metadata path"},
        RejectCase{"SELECT upper(x) OVER () FROM t", kOutOfScope,
                   "window functions are not supported in the metadata path"},
        RejectCase{"SELECT count(*) FILTER (WHERE a > 1) FROM t", kOutOfScope,
                   "aggregate FILTER / WITHIN GROUP / ORDER BY not supported"},
        RejectCase{"SELECT string_agg(a, ',' ORDER BY a) FROM t", kOutOfScope,
                   "aggregate FILTER / WITHIN GROUP / ORDER BY not supported"},
        RejectCase{"SELECT CAST(a AS numeric) FROM t", kOutOfScope,
                   "CAST to unsupported type: numeric"},
        RejectCase{"SELECT a::text[] FROM t", kOutOfScope, "CAST to unsupported type: text[]"},
        RejectCase{"SELECT a FROM t WHERE a = ALL (SELECT b FROM u)", kOutOfScope,
                   "subquery kind not yet supported (IN / EXISTS only)"},
        RejectCase{"SELECT ARRAY(SELECT b FROM u) FROM t", kOutOfScope,
                   "subquery kind not yet supported (IN / EXISTS only)"},
        RejectCase{"SELECT a FROM t WHERE a < ANY (SELECT b FROM u)", kOutOfScope,
                   "subquery operator other than '=' (IN) not supported"},
        RejectCase{"SELECT a FROM t WHERE a IN (SELECT b FROM u UNION SELECT c FROM v)",
                   kOutOfScope, "set operations (UNION/INTERSECT/EXCEPT) are out of scope"},
        RejectCase{"SELECT a FROM t WHERE EXISTS (SELECT 1)", kOutOfScope,
                   "SELECT without FROM clause"},
        RejectCase{"SELECT a FROM generate_series(1, 3) g", kOutOfScope,
                   "FROM target kind not supported in metadata path"},
        RejectCase{"SELECT a FROM t, LATERAL (SELECT b FROM u) l", kOutOfScope,
                   "FROM target kind not supported in metadata path"},
        RejectCase{"SELECT a FROM t AS x(c1, c2)", kOutOfScope,
                   "column aliases on a table reference are out of scope"},
        RejectCase{"SELECT 1e999 FROM t", kMalformed, "invalid numeric literal: 1e999"},
        RejectCase{std::string("SELECT a FROM t\0; DROP TABLE t", 30), kMalformed,
                   "SQL text contains a NUL byte"},
        RejectCase{"SELECT 'caf\xe9' FROM t", kOutOfScope, "SQL text is not valid UTF-8"}));

TEST(FrontEnd, SyntaxErrorKeepsParserMessageAndPosition) {
  ParseStatus status;
  EXPECT_FALSE(parse_select("SELECT a FROM WHERE", status));
  EXPECT_EQ(status.code, ParseCode::Malformed);
  EXPECT_EQ(status.message, "syntax error at or near \"WHERE\"");
  EXPECT_EQ(status.location, 15);
}

TEST(FrontEnd, ARepeatedTextParsesAsTheFirstTime) {
  for (int pass = 0; pass < 2; ++pass) {
    ParseStatus status;
    SelectPtr statement = parse_select("SELECT a FROM t WHERE b = 1 ORDER BY a", status);
    ASSERT_TRUE(statement) << status.message;
    EXPECT_EQ(statement->order_by.size(), 1u);
    EXPECT_FALSE(parse_select("SELECT a FROM WHERE", status));
    EXPECT_EQ(status.code, ParseCode::Malformed);
    EXPECT_EQ(status.location, 15);
  }
}

TEST(FrontEnd, StatusIsResetOnEveryCall) {
  ParseStatus status{ParseCode::OutOfScope, "stale", 7};
  EXPECT_TRUE(parse_select("SELECT a FROM t", status));
  EXPECT_EQ(status.code, ParseCode::None);
  EXPECT_EQ(status.message, "");
  EXPECT_EQ(status.location, -1);
}

TEST(FrontEnd, DeepNestingIsDeclinedNotCrashed) {
  for (int depth : {250, 1000, 100000}) {
    std::string sql = "SELECT ";
    for (int i = 0; i < depth; ++i) sql += "NOT ";
    sql += "a FROM t";
    ParseStatus status;
    EXPECT_FALSE(parse_select(sql, status)) << depth;
    EXPECT_NE(status.code, ParseCode::None) << depth;
  }
  std::string sum = "SELECT a";
  for (int i = 0; i < 500; ++i) sum += " + a";
  ParseStatus status;
  EXPECT_FALSE(parse_select(sum + " FROM t", status));
  EXPECT_EQ(status.code, ParseCode::OutOfScope);
  EXPECT_EQ(status.message, "statement nesting too deep for the metadata path");
}

SelectPtr parse_ok(const std::string& sql) {
  ParseStatus status;
  SelectPtr statement = parse_select(sql, status);
  EXPECT_TRUE(statement) << sql << ": " << status.message;
  return statement;
}

template <typename T>
const T& as(const ExprPtr& expr) {
  EXPECT_TRUE(expr);
  EXPECT_TRUE(std::holds_alternative<T>(expr->node));
  return std::get<T>(expr->node);
}

TEST(FrontEnd, ProjectionColumnsStarsAndAliases) {
  SelectPtr s =
      parse_ok("SELECT a, t.b AS x, *, t.*, t.c, \"MixedCase\" FROM information_schema.tables t");
  ASSERT_TRUE(s);
  ASSERT_EQ(s->projection.size(), 6u);
  EXPECT_EQ(as<ColumnRef>(s->projection[0].expr).name, "a");
  EXPECT_EQ(as<ColumnRef>(s->projection[1].expr).qualifier, "t");
  EXPECT_EQ(s->projection[1].alias, "x");
  EXPECT_EQ(as<Star>(s->projection[2].expr).qualifier, "");
  EXPECT_EQ(as<Star>(s->projection[3].expr).qualifier, "t");
  EXPECT_EQ(as<ColumnRef>(s->projection[4].expr).qualifier, "t");
  EXPECT_EQ(as<ColumnRef>(s->projection[4].expr).name, "c");
  EXPECT_EQ(as<ColumnRef>(s->projection[5].expr).name, "MixedCase");
  const auto& from = std::get<RelationRef>(s->from->node);
  EXPECT_EQ(from.schema, "information_schema");
  EXPECT_EQ(from.name, "tables");
  EXPECT_EQ(from.alias, "t");
}

TEST(FrontEnd, LiteralsKeepTheirKinds) {
  SelectPtr s = parse_ok(
      "SELECT 1, -7, 0, 1.5, 3000000000, 'x', NULL, TRUE, FALSE, -3000000000, -(2) FROM t");
  ASSERT_TRUE(s);
  // An integer beyond 32 bits stays an exact integer; only the decimal
  // constant is marked as one.
  const std::vector<Literal::Value> expected = {
      int64_t{1},       int64_t{-7},      int64_t{0}, 1.5,   int64_t{3000000000},
      std::string("x"), std::monostate{}, true,       false, int64_t{-3000000000},
      int64_t{-2}};
  const std::vector<Type> types = {Type::Int64, Type::Int64,  Type::Int64, Type::Float64,
                                   Type::Int64, Type::String, Type::Null,  Type::Bool,
                                   Type::Bool,  Type::Int64,  Type::Int64};
  ASSERT_EQ(s->projection.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Literal& literal = as<Literal>(s->projection[i].expr);
    EXPECT_EQ(literal.value, expected[i]) << i;
    EXPECT_EQ(literal.type, types[i]) << i;
    EXPECT_EQ(literal.decimal, i == 3) << i;
    EXPECT_EQ(literal.adaptable, std::holds_alternative<int64_t>(expected[i])) << i;
  }
}

TEST(FrontEnd, NegativeIntegersSurviveCommentsAndBrackets) {
  SelectPtr s =
      parse_ok("SELECT a FROM t ORDER BY - /* c */ ( 3 ) LIMIT --x\n - ( -1) OFFSET - -4");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->order_by[0].ordinal, -3);
  EXPECT_EQ(s->limit, 1);
  EXPECT_EQ(s->offset, 4);
  // 2147483649 does not fit the parser's integer and arrives as a decimal.
  ParseStatus status;
  EXPECT_FALSE(parse_select("SELECT a FROM t OFFSET -2147483649", status));
  EXPECT_EQ(status.message, "LIMIT/OFFSET with non-integer literal");
}

TEST(FrontEnd, OperatorsAndPredicates) {
  SelectPtr s = parse_ok(
      "SELECT a FROM t WHERE x NOT IN (1, 2) AND name NOT ILIKE 'p%' AND a || b = c AND NOT d IS "
      "NOT NULL "
      "OR e % 2 != 0");
  ASSERT_TRUE(s);
  const Logical& top = as<Logical>(s->where);
  EXPECT_EQ(top.op, LogicalOp::Or);
  // The four conjuncts fold into a balanced tree:
  // ((x NOT IN) AND (NOT ILIKE)) AND (concat AND NOT ...).
  const Logical& and_all = as<Logical>(top.left);
  const Logical& first_two = as<Logical>(and_all.left);
  const Logical& last_two = as<Logical>(and_all.right);
  const Unary& not_null = as<Unary>(last_two.right);
  EXPECT_EQ(not_null.op, UnaryOp::Not);
  EXPECT_EQ(as<Unary>(not_null.operand).op, UnaryOp::IsNotNull);
  const Comparison& concat = as<Comparison>(last_two.left);
  EXPECT_EQ(as<Arithmetic>(concat.left).op, ArithOp::Concat);
  const Unary& not_in = as<Unary>(first_two.left);
  EXPECT_EQ(not_in.op, UnaryOp::Not);
  EXPECT_EQ(as<InList>(not_in.operand).items.size(), 2u);
  const Unary& not_like = as<Unary>(first_two.right);
  EXPECT_TRUE(as<Like>(not_like.operand).case_insensitive);
  EXPECT_EQ(as<Like>(not_like.operand).escape, '\\');
  const Comparison& mod = as<Comparison>(top.right);
  EXPECT_EQ(mod.op, CompareOp::Ne);
  EXPECT_EQ(as<Arithmetic>(mod.left).op, ArithOp::Mod);
}

TEST(FrontEnd, FunctionsAggregatesCastsCase) {
  SelectPtr s = parse_ok(
      "SELECT count(*), COUNT(DISTINCT a), Upper(x), CAST(a AS VARCHAR), b::bigint, "
      "CASE a WHEN 1 THEN 'x' ELSE 'y' END, CASE WHEN a > 1 THEN 1 END, coalesce(a, 0) FROM t");
  ASSERT_TRUE(s);
  const auto& count_star = as<AggregateCall>(s->projection[0].expr);
  EXPECT_EQ(count_star.name, "count");
  EXPECT_TRUE(count_star.star);
  EXPECT_TRUE(count_star.args.empty());
  const auto& count_distinct = as<AggregateCall>(s->projection[1].expr);
  EXPECT_TRUE(count_distinct.distinct);
  EXPECT_EQ(count_distinct.args.size(), 1u);
  EXPECT_EQ(as<FunctionCall>(s->projection[2].expr).name, "upper");
  EXPECT_EQ(as<Cast>(s->projection[3].expr).target, Type::String);
  EXPECT_EQ(as<Cast>(s->projection[4].expr).target, Type::Int64);
  const Case& simple = as<Case>(s->projection[5].expr);
  EXPECT_TRUE(simple.operand);
  EXPECT_EQ(simple.branches.size(), 1u);
  EXPECT_TRUE(simple.else_);
  const Case& searched = as<Case>(s->projection[6].expr);
  EXPECT_FALSE(searched.operand);
  EXPECT_FALSE(searched.else_);
  const FunctionCall& coalesce = as<FunctionCall>(s->projection[7].expr);
  EXPECT_EQ(coalesce.name, "coalesce");
  EXPECT_EQ(coalesce.args.size(), 2u);
}

TEST(FrontEnd, OrderByLimitOffsetDistinct) {
  SelectPtr s = parse_ok(
      "SELECT DISTINCT a, b FROM t ORDER BY 2 DESC NULLS LAST, a NULLS FIRST, b LIMIT 5 OFFSET 0");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->distinct);
  ASSERT_EQ(s->order_by.size(), 3u);
  const OrderItem& first = s->order_by[0];
  EXPECT_TRUE(first.is_ordinal);
  EXPECT_EQ(first.ordinal, 2);
  EXPECT_TRUE(first.descending);
  EXPECT_FALSE(first.nulls_first);
  EXPECT_TRUE(first.nulls_explicit);
  EXPECT_FALSE(first.expr);
  EXPECT_TRUE(s->order_by[1].nulls_first);
  EXPECT_TRUE(s->order_by[1].nulls_explicit);
  EXPECT_FALSE(s->order_by[2].nulls_explicit);
  EXPECT_FALSE(s->order_by[2].descending);
  EXPECT_EQ(s->limit, 5);
  EXPECT_EQ(s->offset, 0);
}

TEST(FrontEnd, FromShapes) {
  SelectPtr s = parse_ok("SELECT * FROM a, b, c");
  ASSERT_TRUE(s);
  const auto& outer = *std::get<std::unique_ptr<JoinClause>>(s->from->node);
  EXPECT_EQ(outer.type, JoinType::Cross);
  EXPECT_EQ(std::get<RelationRef>(outer.right->node).name, "c");
  const auto& inner = *std::get<std::unique_ptr<JoinClause>>(outer.left->node);
  EXPECT_EQ(std::get<RelationRef>(inner.left->node).name, "a");

  s = parse_ok("SELECT * FROM a LEFT JOIN b USING (k, l) NATURAL FULL JOIN c CROSS JOIN d");
  ASSERT_TRUE(s);
  const auto& cross = *std::get<std::unique_ptr<JoinClause>>(s->from->node);
  EXPECT_EQ(cross.type, JoinType::Cross);
  const auto& natural = *std::get<std::unique_ptr<JoinClause>>(cross.left->node);
  EXPECT_EQ(natural.type, JoinType::Full);
  EXPECT_TRUE(natural.natural);
  const auto& using_join = *std::get<std::unique_ptr<JoinClause>>(natural.left->node);
  EXPECT_EQ(using_join.type, JoinType::Left);
  EXPECT_EQ(using_join.using_, (std::vector<std::string>{"k", "l"}));

  s = parse_ok("SELECT * FROM (VALUES (1, 'x'), (2, 'y')) AS v(n, s)");
  ASSERT_TRUE(s);
  const auto& values = std::get<ValuesTable>(s->from->node);
  EXPECT_EQ(values.rows.size(), 2u);
  EXPECT_EQ(values.alias, "v");
  EXPECT_EQ(values.column_names, (std::vector<std::string>{"n", "s"}));

  s = parse_ok(
      "SELECT * FROM catalog1.information_schema.columns c JOIN (SELECT y FROM u) AS z ON c.a = "
      "z.y");
  ASSERT_TRUE(s);
  const auto& join = *std::get<std::unique_ptr<JoinClause>>(s->from->node);
  EXPECT_EQ(join.type, JoinType::Inner);
  EXPECT_TRUE(join.condition);
  EXPECT_EQ(std::get<RelationRef>(join.left->node).catalog, "catalog1");
  EXPECT_TRUE(std::get<SubqueryRef>(join.right->node).statement);
}

TEST(FrontEnd, Sublinks) {
  SelectPtr s = parse_ok(
      "SELECT (SELECT max(y) FROM u) FROM t WHERE x IN (SELECT y FROM u) AND NOT EXISTS (SELECT 1 "
      "FROM v)");
  ASSERT_TRUE(s);
  EXPECT_TRUE(as<ScalarSubquery>(s->projection[0].expr).subquery);
  const Logical& both = as<Logical>(s->where);
  const InList& in = as<InList>(both.left);
  EXPECT_TRUE(in.items.empty());
  EXPECT_TRUE(in.subquery);
  const Unary& negated = as<Unary>(both.right);
  EXPECT_FALSE(as<Exists>(negated.operand).negated);
}

}  // namespace
}  // namespace zv_sql
