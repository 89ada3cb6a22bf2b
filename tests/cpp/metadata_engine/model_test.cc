#include <gtest/gtest.h>

#include <arrow/type.h>

#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/parse_select.h"
#include "metadata_engine/types.h"

namespace zv_sql {
namespace {

struct TypeNameCase {
  const char* name;
  Type expected;
};

TEST(TypeNames, LookupIsCaseInsensitiveAndClosed) {
  const TypeNameCase cases[] = {
      {"VARCHAR", Type::String},
      {"bpchar", Type::String},
      {"Text", Type::String},
      {"bool", Type::Bool},
      {"int2", Type::Int16},
      {"INTEGER", Type::Int32},
      {"bigint", Type::Int64},
      {"double_precision", Type::Unknown},
      {"real", Type::Float32},
      {"date", Type::Date},
      {"timestamptz", Type::Timestamp},
      {"numeric", Type::Unknown},
      {"", Type::Unknown},
      {"varchar2", Type::Unknown},
      {"interval", Type::Unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(type_from_name(c.name), c.expected) << c.name;
}

TEST(TypeNames, ArrowMapping) {
  EXPECT_TRUE((*to_arrow_type(Type::Timestamp))->Equals(arrow::timestamp(arrow::TimeUnit::MICRO)));
  EXPECT_TRUE((*to_arrow_type(Type::Date))->Equals(arrow::date32()));
  EXPECT_TRUE((*to_arrow_type(Type::Int32))->Equals(arrow::int32()));
  auto unknown = to_arrow_type(Type::Unknown);
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.status().message(), "unsupported zv_sql::Type");
}

ExprPtr where_of(const std::string& predicate) {
  ParseStatus status;
  SelectPtr statement = parse_select("SELECT 1 FROM t WHERE " + predicate, status);
  EXPECT_TRUE(statement) << status.message;
  return statement ? std::move(statement->where) : nullptr;
}

TEST(ExprWalks, ColumnRefWalkSkipsNestedScopes) {
  struct Case {
    const char* predicate;
    std::vector<std::string> columns;
  } cases[] = {
      {"a = 1 AND NOT b IS NULL", {"a", "b"}},
      {"a IN (b, 1) OR c LIKE d", {"a", "b", "c", "d"}},
      {"upper(CAST(a AS text)) = 'x'", {"a"}},
      {"CASE WHEN a THEN b END", {}},
      {"EXISTS (SELECT x FROM u WHERE y = 1)", {}},
      {"a = (SELECT max(z) FROM u)", {"a"}},
  };
  for (const auto& c : cases) {
    ExprPtr where = where_of(c.predicate);
    ASSERT_TRUE(where);
    std::vector<std::string> seen;
    for_each_column_ref(*where, [&](const ColumnRef& ref) { seen.push_back(ref.name); });
    EXPECT_EQ(seen, c.columns) << c.predicate;
  }
}

TEST(ExprWalks, ChildWalkVisitsOnlyOperatorChildren) {
  ExprPtr where = where_of("(a + 1 > 2) AND x IN (SELECT y FROM u)");
  ASSERT_TRUE(where);
  int visited = 0;
  std::function<void(Expr&)> count = [&](Expr& child) {
    ++visited;
    for_each_child(child, count);
  };
  for_each_child(*where, count);
  // Comparison, Arithmetic, its two leaves and the InList (not entered).
  EXPECT_EQ(visited, 6);
}

}  // namespace
}  // namespace zv_sql
