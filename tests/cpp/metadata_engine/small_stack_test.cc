// Hostile statement shapes on a thread with a 1 MiB stack, the default on
// Windows: every one must come back as an answer, a decline or an error.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "metadata_engine/metadata_engine.h"
#include "platform/stack_thread.h"
#include "test_batches.h"

namespace zv_sql {
namespace {

using testing::make_batch;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's instrumentation makes frames several times larger.
constexpr size_t kSmallStack = size_t{4} << 20;
#else
constexpr size_t kSmallStack = size_t{1} << 20;
#endif

void run_on_small_stack(const std::function<void()>& body) {
  ASSERT_TRUE(zv::RunOnThreadWithStack(kSmallStack, body));
}

std::string repeat(const std::string& first, const std::string& separator, const std::string& item,
                   int count) {
  std::string text = first;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += separator;
    text += item;
  }
  return text;
}

struct HostileCase {
  std::string name;
  std::string sql;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class SmallStack : public ::testing::TestWithParam<HostileCase> {
 protected:
  void SetUp() override {
    auto tables = make_batch({{"table_name", arrow::utf8(), R"(["a", "b", "c"])"},
                              {"table_schema", arrow::utf8(), R"(["s", "s", null])"},
                              {"n", arrow::int32(), "[1, 2, 3]"}});
    engine_.register_relation("information_schema.tables", tables->schema(), {tables});
    engine_.register_relation("t", tables->schema(), {tables});
  }
  MetadataEngine engine_;
};

TEST_P(SmallStack, StatementReturnsWithoutExhaustingTheStack) {
  const std::string sql = GetParam().sql;
  ExecuteResult result;
  run_on_small_stack([&] { result = engine_.execute_sql(sql); });
  if (result.status == ExecuteStatus::Ok) {
    ASSERT_EQ(result.batches.size(), 1u);
    EXPECT_TRUE(result.batches.front()->ValidateFull().ok());
  } else {
    EXPECT_FALSE(result.reason.empty() && result.error.empty());
  }
}

const std::string kFrom = " FROM information_schema.tables";

INSTANTIATE_TEST_SUITE_P(
    Hostile, SmallStack,
    ::testing::Values(
        HostileCase{"or_chain",
                    "SELECT table_name" + kFrom + " WHERE " + repeat("", " OR ", "n = 1", 20000)},
        HostileCase{"and_chain",
                    "SELECT table_name" + kFrom + " WHERE " + repeat("", " AND ", "n > 0", 20000)},
        HostileCase{"mixed_chain", "SELECT table_name" + kFrom + " WHERE " +
                                       repeat("", " OR ", "n = 1 AND n < 5", 8000)},
        HostileCase{"or_chain_in_projection",
                    "SELECT " + repeat("", " OR ", "n = 2", 20000) + " AS x" + kFrom},
        HostileCase{"from_list", "SELECT count(*)" + repeat(" FROM ", ", ", "t", 5000)},
        HostileCase{"join_chain",
                    "SELECT count(*) FROM t" + repeat(" ", " ", "JOIN t USING (n)", 3000)},
        HostileCase{"plus_chain", "SELECT " + repeat("", " + ", "n", 20000) + kFrom},
        HostileCase{"concat_chain", "SELECT " + repeat("", " || ", "table_name", 20000) + kFrom},
        HostileCase{"not_chain", "SELECT table_name" + kFrom + " WHERE " +
                                     repeat("", " ", "NOT", 20000) + " n = 1"},
        HostileCase{"minus_chain",
                    "SELECT table_name" + kFrom + " WHERE n = " + repeat("", "", "-", 20000) + "1"},
        HostileCase{"parentheses",
                    "SELECT " + std::string(5000, '(') + "n" + std::string(5000, ')') + kFrom},
        HostileCase{"in_list", "SELECT table_name" + kFrom + " WHERE n IN (" +
                                   repeat("", ", ", "7", 100000) + ")"},
        HostileCase{
            "case_branches",
            "SELECT CASE" + repeat(" ", " ", "WHEN n = 1 THEN 'x'", 20000) + " END AS c" + kFrom},
        HostileCase{"nested_case", "SELECT " + repeat("", " ", "CASE WHEN n = 1 THEN", 3000) +
                                       " 1" + repeat(" ", " ", "END", 3000) + kFrom},
        HostileCase{"nested_subqueries", "SELECT table_name" + kFrom + " WHERE n IN " +
                                             repeat("", " ", "(SELECT n FROM t WHERE n IN", 3000) +
                                             " (1)" + std::string(3000, ')')},
        HostileCase{"nested_derived", "SELECT * FROM " + repeat("", " ", "(SELECT * FROM", 3000) +
                                          " t" + repeat("", "", ") d", 3000)},
        HostileCase{"coalesce_args",
                    "SELECT coalesce(" + repeat("", ", ", "n", 50000) + ")" + kFrom},
        HostileCase{"order_by_keys",
                    "SELECT n" + kFrom + " ORDER BY " + repeat("", ", ", "n", 20000)},
        HostileCase{"exists_conjuncts",
                    "SELECT table_name FROM information_schema.tables x WHERE " +
                        repeat("", " AND ", "EXISTS (SELECT 1 FROM t WHERE t.n = x.n)", 3000)},
        HostileCase{"at_nesting_bound",
                    "SELECT " + std::string(190, '(') + "n" + repeat("", "", " + 1)", 190) + kFrom},
        HostileCase{"joins_at_nesting_bound",
                    "SELECT count(*) FROM t" + repeat(" ", " ", "JOIN t USING (n)", 190)},
        HostileCase{"from_list_at_nesting_bound",
                    "SELECT count(*)" + repeat(" FROM ", ", ", "(VALUES (1)) v", 190)},
        HostileCase{"subqueries_at_depth_bound",
                    "SELECT table_name" + kFrom + " WHERE n IN " +
                        repeat("", " ", "(SELECT n FROM t WHERE n IN", 30) + " (1)" +
                        std::string(30, ')')},
        HostileCase{"projection_items", "SELECT " + repeat("", ", ", "n", 20000) + kFrom}));

}  // namespace
}  // namespace zv_sql
