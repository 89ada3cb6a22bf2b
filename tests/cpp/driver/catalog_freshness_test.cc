#include "driver/catalog_freshness.h"

#include <gtest/gtest.h>

namespace {

TEST(CatalogFreshness, OnlyReadsLeaveTheCatalogAsItWas) {
  struct Case {
    const char* sql;
    bool may_change;
  } cases[] = {
      {"SELECT 1", false},
      {"  \n\t select * from t", false},
      {"-- note\nSELECT 1", false},
      {"/* a */ (SELECT 1) UNION (SELECT 2)", false},
      {"show tables", false},
      {"EXPLAIN SELECT 1", false},
      {"FROM t", false},
      {"", false},
      {"CREATE TABLE t (a INT)", true},
      {"drop table t", true},
      {"INSERT INTO t VALUES (1)", true},
      {"/* SELECT */ DELETE FROM t", true},
      {"WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x", true},
      {"selective_function()", true},
  };
  for (const auto& c : cases) EXPECT_EQ(zv::MayChangeCatalog(c.sql), c.may_change) << c.sql;
}

}  // namespace
