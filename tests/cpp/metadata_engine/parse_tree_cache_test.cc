#include "metadata_engine/parse_tree_cache_internal.h"

#include <memory>

#include <gtest/gtest.h>

namespace zv_sql::internal {
namespace {

ParseTree Tree(int n) { return std::make_shared<const nlohmann::json>(n); }

TEST(ParseTreeCache, KeepsTheMostRecentTreesWithinItsBounds) {
  ParseTreeCache cache(2, 8);
  const ParseTree a = Tree(1), b = Tree(2), c = Tree(3);
  cache.keep("a", a);
  cache.keep("b", b);
  EXPECT_EQ(cache.find("a"), a);  // now the most recent: b goes first
  cache.keep("c", c);
  EXPECT_EQ(cache.find("b"), nullptr);
  EXPECT_EQ(cache.find("a"), a);
  EXPECT_EQ(cache.find("c"), c);
  cache.keep("too long!", Tree(4));
  EXPECT_EQ(cache.find("too long!"), nullptr);
  EXPECT_EQ(cache.find("a"), a);
}

}  // namespace
}  // namespace zv_sql::internal
