// Table-driven engine tests: one SQL text, the expected status and either the
// expected text or the expected columns.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metadata_engine/metadata_engine.h"
#include "test_batches.h"

namespace zv_sql::testing {

struct SqlCase {
  std::string sql;
  ExecuteStatus status;
  std::string text;                 // reason (NotHandled) or error (Error)
  std::vector<ColumnSpec> columns;  // the expected result (Ok)
};

inline void PrintTo(const SqlCase& c, std::ostream* os) { *os << c.sql; }

inline void expect_case(const MetadataEngine& engine, const SqlCase& c) {
  ExecuteResult result = engine.execute_sql(c.sql);
  ASSERT_EQ(result.status, c.status)
      << c.sql << "\nreason: " << result.reason << "\nerror: " << result.error;
  if (c.status == ExecuteStatus::NotHandled) EXPECT_EQ(result.reason, c.text) << c.sql;
  if (c.status == ExecuteStatus::Error) EXPECT_EQ(result.error, c.text) << c.sql;
  if (c.status != ExecuteStatus::Ok) {
    EXPECT_TRUE(result.batches.empty());
    return;
  }
  ASSERT_EQ(result.batches.size(), 1u);
  auto expected = make_batch(c.columns);
  ASSERT_TRUE(expected);
  const auto& actual = result.batches.front();
  EXPECT_TRUE(result.schema->Equals(*actual->schema(), /*check_metadata=*/true));
  EXPECT_TRUE(actual->Equals(*expected)) << c.sql << "\nactual:\n"
                                         << actual->ToString() << "\nexpected:\n"
                                         << expected->ToString();
}

}  // namespace zv_sql::testing
