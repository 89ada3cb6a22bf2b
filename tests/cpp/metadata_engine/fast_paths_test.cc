// The engine's fast paths over large relations (the top-k pass of ORDER BY
// ... LIMIT, lookups by exact text) must give exactly what the general path
// gives on the same rows.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <arrow/builder.h>

#include "metadata_engine/metadata_engine.h"
#include "metadata_engine/relation_registry.h"

namespace zv_sql {
namespace {

std::shared_ptr<arrow::RecordBatch> many_columns(int64_t rows) {
  std::mt19937 random(7);
  arrow::StringBuilder names;
  arrow::Int32Builder positions;
  arrow::StringBuilder types;
  for (int64_t row = 0; row < rows; ++row) {
    const unsigned draw = random();
    // Few distinct names and positions, so ties straddle every cut-off.
    if (draw % 13 == 0) {
      EXPECT_TRUE(names.AppendNull().ok());
    } else {
      EXPECT_TRUE(names.Append("t" + std::to_string(draw % 97)).ok());
    }
    if (draw % 17 == 0) {
      EXPECT_TRUE(positions.AppendNull().ok());
    } else {
      EXPECT_TRUE(positions.Append(static_cast<int32_t>(draw % 31) - 5).ok());
    }
    // Text with empty, non-ASCII and LIKE-special values beside plain ones.
    static const char* const kTexts[] = {"", "\xc3\xbc", "a%b", "a_b", "VARCHAR", "varchar"};
    if (draw % 11 == 0) {
      EXPECT_TRUE(types.AppendNull().ok());
    } else if (draw % 3 == 0) {
      EXPECT_TRUE(types.Append(kTexts[draw % 6]).ok());
    } else {
      EXPECT_TRUE(types.Append(std::to_string(row)).ok());
    }
  }
  auto schema = arrow::schema({arrow::field("table_name", arrow::utf8()),
                               arrow::field("ordinal_position", arrow::int32()),
                               arrow::field("data_type", arrow::utf8())});
  return arrow::RecordBatch::Make(schema, rows,
                                  {*names.Finish(), *positions.Finish(), *types.Finish()});
}

TEST(TopK, KeepsTheFullSortsRows) {
  MetadataEngine engine;
  auto batch = many_columns(20000);
  engine.register_relation("information_schema.columns", batch->schema(), {batch});
  const char* const orders[] = {
      "table_name, ordinal_position",
      "table_name DESC, data_type",
      "table_name NULLS FIRST, data_type",
      "table_name DESC NULLS FIRST, data_type",
      "ordinal_position, data_type",
      "ordinal_position DESC NULLS FIRST, data_type DESC",
      "2 DESC, 1, 3",
  };
  const char* const cuts[] = {"LIMIT 10", "LIMIT 300 OFFSET 900", "LIMIT 1", "LIMIT 1500"};
  for (const char* order : orders) {
    const std::string base = std::string(
                                 "SELECT table_name, ordinal_position, data_type FROM "
                                 "information_schema.columns ORDER BY ") +
                             order;
    ExecuteResult full = engine.execute_sql(base);
    ASSERT_EQ(full.status, ExecuteStatus::Ok) << base << ": " << full.error << full.reason;
    for (const char* cut : cuts) {
      const std::string sql = base + " " + cut;
      ExecuteResult limited = engine.execute_sql(sql);
      ASSERT_EQ(limited.status, ExecuteStatus::Ok) << sql << ": " << limited.error;
      int64_t offset = 0, limit = 0;
      if (sscanf(cut, "LIMIT %ld OFFSET %ld", &limit, &offset) < 1) FAIL() << cut;
      EXPECT_TRUE(limited.batches[0]->Equals(*full.batches[0]->Slice(offset, limit))) << sql;
    }
  }
}

// One engine holds the rows as one batch (indexed), the other as two (read by
// scanning); every statement must give both the same answer, or the same
// failure.
void ExpectIndexedAnswersAsScanned(const std::vector<std::string>& statements) {
  auto batch = many_columns(20000);
  MetadataEngine indexed, scanned;
  indexed.register_relation("information_schema.columns", batch->schema(), {batch});
  scanned.register_relation("information_schema.columns", batch->schema(),
                            {batch->Slice(0, 7000), batch->Slice(7000)});
  for (const std::string& sql : statements) {
    ExecuteResult a = indexed.execute_sql(sql), b = scanned.execute_sql(sql);
    ASSERT_EQ(a.status, b.status) << sql << ": " << a.error << a.reason << " / " << b.error;
    EXPECT_EQ(a.error, b.error) << sql;
    if (a.status != ExecuteStatus::Ok) continue;
    EXPECT_TRUE(a.batches[0]->Equals(*b.batches[0])) << sql;
  }
}

TEST(EqualityIndex, AnswersAsTheScanDoes) {
  const char* const wheres[] = {
      "table_name = 't5'",
      "'t5' = table_name AND ordinal_position > 3",
      "table_name = 't5' AND data_type = ''",
      "data_type = '\xc3\xbc' AND table_name <> 't1'",
      "data_type = 'a%b' OR table_name = 't7'",
      "data_type = 'VARCHAR' AND columns.table_name = 't9' AND data_type = 'varchar'",
      "table_name = 'no such table'",
      "data_type = NULL",
      "ordinal_position = '3' AND table_name = 't3'",
  };
  std::vector<std::string> statements;
  for (const char* where : wheres) {
    statements.push_back(
        "SELECT table_name, ordinal_position, data_type FROM information_schema.columns WHERE " +
        std::string(where));
  }
  ExpectIndexedAnswersAsScanned(statements);
}

// ORDER BY ... LIMIT read along a column's order on the indexed copy, beside
// the filter and full sort on the scanned one: the same rows, or the same
// failure where WHERE cannot be evaluated on some row past the limit.
TEST(OrderedLimit, AnswersAsTheFullSortDoes) {
  const char* const statements[] = {
      "SELECT table_name, data_type FROM information_schema.columns WHERE data_type LIKE 'a%' "
      "ORDER BY table_name, data_type LIMIT 20",
      "SELECT * FROM information_schema.columns WHERE ordinal_position IN (1, 2) OR data_type "
      "IS NULL ORDER BY table_name DESC NULLS FIRST, data_type, ordinal_position LIMIT 40 OFFSET 7",
      "SELECT data_type AS table_name, ordinal_position FROM information_schema.columns WHERE "
      "NOT table_name = 't3' ORDER BY table_name, 2 LIMIT 50",
      "SELECT ordinal_position + 1 AS ordinal_position, table_name FROM information_schema.columns "
      "ORDER BY ordinal_position, table_name LIMIT 30",
      "SELECT table_name, ordinal_position FROM information_schema.columns WHERE "
      "CAST(data_type AS INTEGER) > 19000 ORDER BY table_name LIMIT 5",
      // Overflows only on the last positions of the order.
      "SELECT table_name FROM information_schema.columns WHERE ordinal_position * 100000000 <> 7 "
      "ORDER BY ordinal_position, table_name LIMIT 5",
      "SELECT table_name FROM information_schema.columns WHERE data_type ILIKE 'var%' ORDER BY "
      "ordinal_position DESC, table_name LIMIT 25",
      "SELECT table_name FROM information_schema.columns WHERE table_name > 't9' AND "
      "ordinal_position < 0 ORDER BY 1 NULLS FIRST LIMIT 60",
  };
  ExpectIndexedAnswersAsScanned({std::begin(statements), std::end(statements)});
}

// Connections on one snapshot register the same batch: one set of indexes
// serves them all, and another batch never gets it.
TEST(RelationIndexes, AreSharedByTheRegistriesOfOneBatch) {
  auto batch = many_columns(5000);
  RelationRegistry first, second, other;
  first.register_relation("t", batch->schema(), {batch});
  second.register_relation("t", batch->schema(), {batch});
  other.register_relation("t", batch->schema(), {many_columns(5000)});
  ASSERT_NE(first.find("t")->indexes, nullptr);
  EXPECT_EQ(first.find("t")->indexes, second.find("t")->indexes);
  EXPECT_NE(first.find("t")->indexes, other.find("t")->indexes);
}

}  // namespace
}  // namespace zv_sql
