#include <gtest/gtest.h>

#include <arrow/array.h>
#include <arrow/array/util.h>
#include <arrow/compute/api.h>
#include <arrow/scalar.h>

#include "metadata_engine/arrow_init_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/like_to_regex_internal.h"
#include "metadata_engine/parse_select.h"
#include "test_batches.h"

namespace zv_sql {
namespace {

using testing::make_batch;

TEST(LikeToRegex, Translation) {
  struct Case {
    const char* pattern;
    const char* regex;
  } cases[] = {
      {"a%", "^a.*$"},     {"50\\%", "^50%$"},
      {"a_c%", "^a.c.*$"}, {"a.b", "^a\\.b$"},
      {"\\_x", "^_x$"},    {"x\\", "^x\\\\$"},
      {"\\\\", "^\\\\$"},  {"(1+1)*[2]{3}|^$?", "^\\(1\\+1\\)\\*\\[2\\]\\{3\\}\\|\\^\\$\\?$"},
      {"", "^$"},
  };
  for (const auto& c : cases) EXPECT_EQ(like_to_regex(c.pattern, '\\'), c.regex) << c.pattern;
}

std::shared_ptr<arrow::RecordBatch> sample_batch() {
  return make_batch({
      {"TABLE_NAME", arrow::utf8(), R"(["abc", "Abc", "ABC", "axb", "a.b", null, "a\nc"])"},
      {"n", arrow::int32(), "[1, 2, 3, null, 5, 6, 7]"},
      {"x", arrow::float64(), "[1.5, -2.0, null, 0.0, 4.25, 1.0, 2.0]"},
      {"flag", arrow::boolean(), "[true, false, null, true, false, null, true]"},
  });
}

ExprPtr parse_expr(const std::string& text) {
  ParseStatus status;
  SelectPtr statement = parse_select("SELECT " + text + " FROM t", status);
  EXPECT_TRUE(statement) << text << ": " << status.message;
  return statement ? std::move(statement->projection.front().expr) : nullptr;
}

struct ValueCase {
  std::string expr;
  std::shared_ptr<arrow::DataType> type;
  std::string expected;  // JSON, one value per row (scalars are broadcast)
};

class Evaluation : public ::testing::TestWithParam<ValueCase> {};

TEST_P(Evaluation, ProducesExpectedColumn) {
  const ValueCase& c = GetParam();
  auto batch = sample_batch();
  ExprPtr expr = parse_expr(c.expr);
  ASSERT_TRUE(expr);
  std::string error;
  auto value = evaluate(EvalContext{batch, &error}, *expr);
  ASSERT_TRUE(value.ok()) << value.status().ToString() << " / " << error;
  std::shared_ptr<arrow::Array> actual =
      value->is_scalar() ? *arrow::MakeArrayFromScalar(*value->scalar(), batch->num_rows())
                         : value->make_array();
  auto expected = arrow::json::ArrayFromJSONString(c.type, c.expected);
  ASSERT_TRUE(expected.ok()) << expected.status().ToString();
  EXPECT_TRUE(actual->Equals(**expected)) << c.expr << "\nactual:   " << actual->ToString()
                                          << "\nexpected: " << (*expected)->ToString();
  EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, Evaluation,
    ::testing::Values(
        // Column lookup ignores case and qualifier.
        ValueCase{"t.table_name = 'abc'", arrow::boolean(),
                  "[true, false, false, false, false, null, false]"},
        ValueCase{"n >= 3", arrow::boolean(), "[false, false, true, null, true, true, true]"},
        ValueCase{"n <> 2", arrow::boolean(), "[true, false, true, null, true, true, true]"},
        // An integer constant takes the INTEGER column's width.
        ValueCase{"n + 1", arrow::int32(), "[2, 3, 4, null, 6, 7, 8]"},
        ValueCase{"n * 2 - 1", arrow::int32(), "[1, 3, 5, null, 9, 11, 13]"},
        ValueCase{"n + 3000000000", arrow::int64(),
                  "[3000000001, 3000000002, 3000000003, null, 3000000005, 3000000006, 3000000007]"},
        ValueCase{"-n", arrow::int32(), "[-1, -2, -3, null, -5, -6, -7]"},
        ValueCase{"n / 2", arrow::float64(), "[0.5, 1.0, 1.5, null, 2.5, 3.0, 3.5]"},
        ValueCase{"x / 2", arrow::float64(), "[0.75, -1.0, null, 0.0, 2.125, 0.5, 1.0]"},
        ValueCase{"n % 4", arrow::int32(), "[1, 2, 3, null, 1, 2, 3]"},
        ValueCase{"-7 % 3", arrow::int32(), "[-1, -1, -1, -1, -1, -1, -1]"},
        ValueCase{"table_name || '!'", arrow::utf8(),
                  R"(["abc!", "Abc!", "ABC!", "axb!", "a.b!", null, "a\nc!"])"},
        ValueCase{"flag AND n > 2", arrow::boolean(),
                  "[false, false, null, null, false, null, true]"},
        ValueCase{"flag OR n > 2", arrow::boolean(), "[true, false, true, true, true, true, true]"},
        ValueCase{"NOT flag", arrow::boolean(), "[false, true, null, false, true, null, false]"},
        ValueCase{"n IS NULL", arrow::boolean(),
                  "[false, false, false, true, false, false, false]"},
        ValueCase{"x IS NOT NULL", arrow::boolean(), "[true, true, false, true, true, true, true]"},
        ValueCase{"1 = 1", arrow::boolean(), "[true, true, true, true, true, true, true]"},
        // IN casts the int64 literals to the int32 column; as in SQL, a null
        // operand, or no match against a list holding a null, is unknown.
        ValueCase{"n IN (1, 3)", arrow::boolean(),
                  "[true, false, true, null, false, false, false]"},
        ValueCase{"n IN (1, NULL)", arrow::boolean(), "[true, null, null, null, null, null, null]"},
        ValueCase{"n NOT IN (1, 3)", arrow::boolean(),
                  "[false, true, false, null, true, true, true]"},
        ValueCase{"table_name IN ('abc', 'a.b', upper('axb'))", arrow::boolean(),
                  "[true, false, false, false, true, null, false]"},
        // "_" and "%" also match line breaks.
        ValueCase{"table_name LIKE 'a_c%'", arrow::boolean(),
                  "[true, false, false, false, false, null, true]"},
        ValueCase{"table_name LIKE 'a%c'", arrow::boolean(),
                  "[true, false, false, false, false, null, true]"},
        ValueCase{"table_name LIKE 'a.b'", arrow::boolean(),
                  "[false, false, false, false, true, null, false]"},
        // Matching against an unknown pattern is unknown, negated or not.
        ValueCase{"table_name LIKE NULL", arrow::boolean(),
                  "[null, null, null, null, null, null, null]"},
        ValueCase{"table_name NOT LIKE NULL", arrow::boolean(),
                  "[null, null, null, null, null, null, null]"},
        ValueCase{"table_name ILIKE NULL", arrow::boolean(),
                  "[null, null, null, null, null, null, null]"},
        ValueCase{"table_name ILIKE 'ABC'", arrow::boolean(),
                  "[true, true, true, false, false, null, false]"},
        ValueCase{"table_name ILIKE 'a%'", arrow::boolean(),
                  "[true, true, true, true, true, null, true]"},
        ValueCase{"table_name NOT LIKE '%b%'", arrow::boolean(),
                  "[false, false, true, false, false, null, true]"},
        ValueCase{"CASE WHEN n > 2 THEN 'big' END", arrow::utf8(),
                  R"([null, null, "big", null, "big", "big", "big"])"},
        ValueCase{"CASE n WHEN 1 THEN 'one' WHEN 2 THEN 'two' ELSE 'many' END", arrow::utf8(),
                  R"(["one", "two", "many", "many", "many", "many", "many"])"},
        ValueCase{"CASE WHEN flag THEN n WHEN x > 0 THEN 0 ELSE -1 END", arrow::int32(),
                  "[1, -1, -1, null, 0, 0, 7]"},
        ValueCase{"CAST(n AS text)", arrow::utf8(), R"(["1", "2", "3", null, "5", "6", "7"])"},
        ValueCase{"'2024-02-29'::date", arrow::date32(),
                  "[19782, 19782, 19782, 19782, 19782, 19782, 19782]"},
        ValueCase{"upper(table_name)", arrow::utf8(),
                  R"(["ABC", "ABC", "ABC", "AXB", "A.B", null, "A\nC"])"},
        ValueCase{"lower(table_name)", arrow::utf8(),
                  R"(["abc", "abc", "abc", "axb", "a.b", null, "a\nc"])"},
        ValueCase{"length(table_name)", arrow::int64(), "[3, 3, 3, 3, 3, null, 3]"},
        ValueCase{"coalesce(n, 0)", arrow::int32(), "[1, 2, 3, 0, 5, 6, 7]"},
        ValueCase{"CAST(n AS smallint) * 2", arrow::int16(), "[2, 4, 6, null, 10, 12, 14]"},
        ValueCase{"CAST(n AS real) / 2", arrow::float32(), "[0.5, 1.0, 1.5, null, 2.5, 3.0, 3.5]"},
        // An untyped NULL takes the type of what it meets.
        ValueCase{"CASE WHEN n > 2 THEN 'x' ELSE NULL END", arrow::utf8(),
                  R"([null, null, "x", null, "x", "x", "x"])"},
        ValueCase{"n + NULL", arrow::int32(), "[null, null, null, null, null, null, null]"},
        ValueCase{"flag AND NULL", arrow::boolean(),
                  "[null, false, null, null, false, null, null]"},
        ValueCase{"coalesce(NULL, n, 0)", arrow::int32(), "[1, 2, 3, 0, 5, 6, 7]"},
        ValueCase{"TRUE", arrow::boolean(), "[true, true, true, true, true, true, true]"}));

TEST(Evaluation, ConstantsStayScalars) {
  auto batch = sample_batch();
  for (const char* text : {"1 = 1", "'a' || 'b'", "upper('x')", "1 IN (1, 2)"}) {
    ExprPtr expr = parse_expr(text);
    ASSERT_TRUE(expr);
    auto value = evaluate(EvalContext{batch, nullptr}, *expr);
    ASSERT_TRUE(value.ok()) << text << ": " << value.status().ToString();
    EXPECT_TRUE(value->is_scalar()) << text;
  }
}

struct FailureCase {
  std::string expr;
  std::string short_message;
  std::string detailed;  // empty: the compute function's own failure
};

class EvaluationFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EvaluationFailure, ShortStatusAndDetailedText) {
  const FailureCase& c = GetParam();
  auto batch = sample_batch();
  ExprPtr expr = parse_expr(c.expr);
  ASSERT_TRUE(expr);
  std::string error;
  auto value = evaluate(EvalContext{batch, &error}, *expr);
  ASSERT_FALSE(value.ok()) << c.expr;
  EXPECT_EQ(value.status().message(), c.short_message);
  EXPECT_EQ(error, c.detailed);
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, EvaluationFailure,
    ::testing::Values(
        FailureCase{"missing = 1", "unknown column: missing", "unknown column: missing"},
        FailureCase{"n IN (n, 1)", "IN list non-literal", "IN list element must be a literal"},
        FailureCase{"table_name LIKE table_name", "LIKE non-scalar pattern",
                    "LIKE pattern must be a literal"},
        FailureCase{"substr(table_name, 1)", "unsupported function: substr",
                    "unsupported function: substr"},
        FailureCase{"count(*)", "aggregate at row evaluation time",
                    "aggregate function in row-wise evaluator; engine internal error"},
        FailureCase{"(SELECT 1 FROM u)", "scalar subquery at evaluation time",
                    "scalar subquery survived the flatten pass; engine internal error"},
        FailureCase{"EXISTS (SELECT 1 FROM u)", "EXISTS expression at evaluation time",
                    "EXISTS expression survived the flatten pass; engine internal error"},
        FailureCase{"*", "'*' in expression evaluator",
                    "'*' must be expanded by the planner before evaluation"},
        FailureCase{"x / 0", "divide by zero", ""},
        FailureCase{"CAST('99999' AS smallint)",
                    "Failed to parse string: '99999' as a scalar of type int16", ""}));

// What the SQL dialect decides is left to compute, whose dialect it is.
TEST(Evaluation, DialectDependentOperationsDecline) {
  auto batch = sample_batch();
  for (const char* text :
       {"CAST(n AS date)", "n % 1.5", "CAST(x AS text)", "CAST(table_name AS boolean)",
        "table_name LIKE 'a\\_b'", "table_name ILIKE '%\\%'"}) {
    ExprPtr expr = parse_expr(text);
    ASSERT_TRUE(expr);
    auto value = evaluate(EvalContext{batch, nullptr}, *expr);
    ASSERT_FALSE(value.ok()) << text;
    EXPECT_TRUE(internal::declined_reason(value.status()).has_value())
        << text << ": " << value.status().ToString();
  }
}

TEST(Evaluation, FirstDetailedMessageWins) {
  auto batch = sample_batch();
  ExprPtr expr = parse_expr("nope = 1");
  std::string error = "earlier failure";
  EXPECT_FALSE(evaluate(EvalContext{batch, &error}, *expr).ok());
  EXPECT_EQ(error, "earlier failure");
}

TEST(PredicateMask, BroadcastsAndCastsToBoolean) {
  auto from_scalar = to_predicate_mask(arrow::Datum(std::make_shared<arrow::Int64Scalar>(1)), 3);
  ASSERT_TRUE(from_scalar.ok());
  EXPECT_EQ(
      (*from_scalar)->ToString(),
      (*arrow::json::ArrayFromJSONString(arrow::boolean(), "[true, true, true]"))->ToString());
  auto ints = *arrow::json::ArrayFromJSONString(arrow::int64(), "[0, 2, null]");
  auto from_ints = to_predicate_mask(arrow::Datum(ints), 3);
  ASSERT_TRUE(from_ints.ok());
  EXPECT_TRUE(
      (*from_ints)
          ->Equals(*arrow::json::ArrayFromJSONString(arrow::boolean(), "[false, true, null]")));
}

}  // namespace
// Patterns with "%" only at the ends skip the regular expression; each plan
// must select exactly the rows the regular expression selects.
TEST(LikeToRegex, PlansMatchTheRegularExpression) {
  using Kind = LikePlan::Kind;
  struct Case {
    const char* pattern;
    Kind kind;
    const char* text;
  } cases[] = {
      {"abc", Kind::kEquals, "abc"},    {"a\\%", Kind::kEquals, "a%"},
      {"ab%", Kind::kStartsWith, "ab"}, {"ab%%", Kind::kStartsWith, "ab"},
      {"%", Kind::kStartsWith, ""},     {"%%", Kind::kStartsWith, ""},
      {"%bc", Kind::kEndsWith, "bc"},   {"%\\_c", Kind::kEndsWith, "_c"},
      {"%b%", Kind::kContains, "b"},    {"%\u00fc%", Kind::kContains, "\u00fc"},
      {"", Kind::kEquals, ""},          {"a_c", Kind::kRegex, ""},
      {"a%c", Kind::kRegex, ""},        {"%a%c%", Kind::kRegex, ""},
      {"_%", Kind::kRegex, ""},
  };
  auto values = arrow::json::ArrayFromJSONString(
      arrow::utf8(), R"(["abc", "ab", "", null, "a%", "x_c", "_c", "\u00fcber", "b\nb", "ab\n"])");
  ASSERT_TRUE(values.ok());
  ASSERT_TRUE(internal::ensure_arrow_initialized().ok());
  for (const auto& c : cases) {
    const LikePlan plan = plan_like(c.pattern, '\\');
    EXPECT_EQ(plan.kind, c.kind) << c.pattern;
    if (plan.kind == Kind::kRegex) continue;
    EXPECT_EQ(plan.text, c.text) << c.pattern;
    // The evaluator leaves patterns with a backslash to compute.
    if (std::string_view(c.pattern).find('\\') != std::string_view::npos) continue;
    arrow::compute::MatchSubstringOptions regex("(?s)" + like_to_regex(c.pattern, '\\'));
    auto expected = arrow::compute::CallFunction("match_substring_regex", {*values}, &regex);
    ExprPtr like = parse_expr(std::string("s LIKE '") + c.pattern + "'");
    ASSERT_TRUE(like && expected.ok()) << c.pattern;
    auto batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("s", arrow::utf8())}),
                                          (*values)->length(), {*values});
    std::string error;
    auto actual = evaluate(EvalContext{batch, &error}, *like);
    ASSERT_TRUE(actual.ok()) << c.pattern << ": " << actual.status().ToString();
    EXPECT_TRUE(actual->make_array()->Equals(*expected->make_array()))
        << c.pattern << ": " << actual->make_array()->ToString();
  }
}

}  // namespace zv_sql
