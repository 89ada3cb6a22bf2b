#include <gtest/gtest.h>

#include <thread>

#include <arrow/util/key_value_metadata.h>

#include "metadata_engine/metadata_engine.h"
#include "engine_case.h"
#include "test_batches.h"

namespace zv_sql {
namespace {

using testing::ColumnSpec;
using testing::make_batch;

std::shared_ptr<arrow::RecordBatch> tables_batch() {
  auto batch = make_batch({
      {"table_catalog", arrow::utf8(), R"(["db", "db", "db", "db", "db", "db"])"},
      {"table_schema", arrow::utf8(),
       R"(["public", "public", "sales", "sales", "information_schema", null])"},
      {"TABLE_NAME", arrow::utf8(), R"(["orders", "items", "leads", "orders", "tables", "ghost"])"},
      {"table_type", arrow::utf8(),
       R"(["BASE TABLE", "VIEW", "BASE TABLE", "BASE TABLE", "VIEW", null])"},
      {"row_count", arrow::int64(), "[10, null, 3, 7, 0, 1]"},
  });
  // Field metadata must travel with the column into the result.
  auto schema = *batch->schema()->SetField(
      2, batch->schema()->field(2)->WithMetadata(
             arrow::key_value_metadata({"comment"}, {"name of the table"})));
  return arrow::RecordBatch::Make(schema, batch->num_rows(), batch->columns());
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto tables = tables_batch();
    engine_.register_relation("INFORMATION_SCHEMA.Tables", tables->schema(), {tables});
    // Two batches, combined when read.
    auto first = make_batch({{"table_name", arrow::utf8(), R"(["orders", "orders"])"},
                             {"column_name", arrow::utf8(), R"(["id", "total"])"},
                             {"ordinal_position", arrow::int32(), "[1, 2]"}});
    auto second = make_batch({{"table_name", arrow::utf8(), R"(["items"])"},
                              {"column_name", arrow::utf8(), R"(["sku"])"},
                              {"ordinal_position", arrow::int32(), "[1]"}});
    engine_.register_relation("information_schema.columns", first->schema(), {first, second});
    auto triggers = arrow::schema({arrow::field("trigger_name", arrow::utf8()),
                                   arrow::field("action_order", arrow::int32())});
    engine_.register_relation("information_schema.triggers", triggers, {});
  }

  MetadataEngine engine_;
};

using EngineCase = testing::SqlCase;

class EngineCases : public EngineTest, public ::testing::WithParamInterface<EngineCase> {};

TEST_P(EngineCases, Result) { testing::expect_case(engine_, GetParam()); }

const auto Ok = ExecuteStatus::Ok;
const auto NotHandled = ExecuteStatus::NotHandled;
const auto Error = ExecuteStatus::Error;

INSTANTIATE_TEST_SUITE_P(
    Pipeline, EngineCases,
    ::testing::Values(
        EngineCase{"SELECT table_name FROM information_schema.tables WHERE table_schema = 'sales' "
                   "ORDER BY 1",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), R"(["leads", "orders"])"}}},
        // Three-part names with any catalog, and any case, find the relation.
        EngineCase{
            "SELECT TABLE_NAME AS n FROM INFORMATION_SCHEMA.TABLES WHERE row_count > 5 ORDER BY n",
            Ok,
            "",
            {{"n", arrow::utf8(), R"(["orders", "orders"])"}}},
        EngineCase{"SELECT table_name, 1 AS one, upper(table_type) AS u FROM "
                   "information_schema.tables LIMIT 2",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), R"(["orders", "items"])"},
                    {"one", arrow::int32(), "[1, 1]"},
                    {"u", arrow::utf8(), R"(["BASE TABLE", "VIEW"])"}}},
        EngineCase{"SELECT * FROM information_schema.columns ORDER BY column_name DESC",
                   Ok,
                   "",
                   {{"table_name", arrow::utf8(), R"(["orders", "items", "orders"])"},
                    {"column_name", arrow::utf8(), R"(["total", "sku", "id"])"},
                    {"ordinal_position", arrow::int32(), "[2, 1, 1]"}}},
        EngineCase{"SELECT * FROM information_schema.triggers",
                   Ok,
                   "",
                   {{"trigger_name", arrow::utf8(), "[]"}, {"action_order", arrow::int32(), "[]"}}},
        // Nulls sort last by default in both directions; NULLS FIRST moves them.
        EngineCase{"SELECT row_count FROM information_schema.tables ORDER BY row_count",
                   Ok,
                   "",
                   {{"row_count", arrow::int64(), "[0, 1, 3, 7, 10, null]"}}},
        EngineCase{"SELECT row_count FROM information_schema.tables ORDER BY row_count DESC",
                   Ok,
                   "",
                   {{"row_count", arrow::int64(), "[10, 7, 3, 1, 0, null]"}}},
        EngineCase{
            "SELECT row_count FROM information_schema.tables ORDER BY row_count DESC NULLS FIRST",
            Ok,
            "",
            {{"row_count", arrow::int64(), "[null, 10, 7, 3, 1, 0]"}}},
        EngineCase{"SELECT row_count FROM information_schema.tables ORDER BY 1 NULLS LAST",
                   Ok,
                   "",
                   {{"row_count", arrow::int64(), "[0, 1, 3, 7, 10, null]"}}},
        EngineCase{"SELECT table_schema s, table_name FROM information_schema.tables "
                   "ORDER BY s NULLS FIRST, table_name DESC",
                   Ok,
                   "",
                   {{"s", arrow::utf8(),
                     R"([null, "information_schema", "public", "public", "sales", "sales"])"},
                    {"TABLE_NAME", arrow::utf8(),
                     R"(["ghost", "tables", "orders", "items", "orders", "leads"])"}}},
        // Duplicate output names still sort by position.
        EngineCase{"SELECT row_count, row_count FROM information_schema.tables WHERE row_count < 5 "
                   "ORDER BY 2",
                   Ok,
                   "",
                   {{"row_count", arrow::int64(), "[0, 1, 3]"},
                    {"row_count", arrow::int64(), "[0, 1, 3]"}}},
        EngineCase{"SELECT DISTINCT table_type FROM information_schema.tables ORDER BY table_type",
                   Ok,
                   "",
                   {{"table_type", arrow::utf8(), R"(["BASE TABLE", "VIEW", null])"}}},
        EngineCase{"SELECT DISTINCT table_catalog, table_schema FROM information_schema.tables",
                   Ok,
                   "",
                   {{"table_catalog", arrow::utf8(), R"(["db", "db", "db", "db"])"},
                    {"table_schema", arrow::utf8(),
                     R"(["public", "sales", "information_schema", null])"}}},
        EngineCase{"SELECT table_name FROM information_schema.tables ORDER BY 1 LIMIT 0",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), "[]"}}},
        EngineCase{"SELECT table_name FROM information_schema.tables OFFSET 10",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), "[]"}}},
        EngineCase{"SELECT table_name FROM information_schema.tables LIMIT 5 OFFSET 3",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), R"(["orders", "tables", "ghost"])"}}},
        EngineCase{"SELECT table_name FROM information_schema.tables LIMIT -1",
                   NotHandled,
                   "negative LIMIT/OFFSET is left to compute",
                   {}},
        EngineCase{"SELECT table_name FROM information_schema.tables LIMIT 1 OFFSET -4",
                   NotHandled,
                   "negative LIMIT/OFFSET is left to compute",
                   {}},
        EngineCase{"SELECT table_name FROM information_schema.tables WHERE row_count",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), R"(["orders", "leads", "orders", "ghost"])"}}},
        EngineCase{
            "SELECT table_name FROM information_schema.tables WHERE 1 = 1 AND table_name LIKE 'o%'",
            Ok,
            "",
            {{"TABLE_NAME", arrow::utf8(), R"(["orders", "orders"])"}}},
        EngineCase{"SELECT table_name FROM information_schema.tables WHERE FALSE",
                   Ok,
                   "",
                   {{"TABLE_NAME", arrow::utf8(), "[]"}}},
        // Declined: routed to compute with a reason.
        EngineCase{"SELECT * FROM some_table", NotHandled, "relation not cached: some_table", {}},
        EngineCase{"SELECT * FROM tables", NotHandled, "relation not cached: tables", {}},
        EngineCase{"SELECT * FROM x.information_schema.nope",
                   NotHandled,
                   "relation not cached: x.information_schema.nope",
                   {}},
        EngineCase{"SELECT table_name FROM information_schema.tables WHERE table_name IN (SELECT y "
                   "FROM unregistered)",
                   NotHandled,
                   "relation not cached: unregistered",
                   {}},
        EngineCase{"SELECT (SELECT 1 FROM gone) FROM information_schema.tables",
                   NotHandled,
                   "relation not cached: gone",
                   {}},
        EngineCase{"SELECT * FROM information_schema.tables t JOIN nowhere n ON t.table_name = n.x",
                   NotHandled,
                   "relation not cached: nowhere",
                   {}},
        EngineCase{
            "DELETE FROM information_schema.tables", NotHandled, "not a SELECT statement", {}},
        EngineCase{"SELECT 1", NotHandled, "SELECT without FROM clause", {}},
        // Errors: the engine tried and failed.
        EngineCase{"SELEC 1", Error, "syntax error at or near \"SELEC\"", {}},
        EngineCase{
            "SELECT nope FROM information_schema.tables", NotHandled, "unknown column nope", {}},
        EngineCase{"SELECT table_name FROM information_schema.tables ORDER BY 0",
                   Error,
                   "ORDER BY ordinal out of range",
                   {}},
        EngineCase{
            "SELECT table_name, table_type, row_count FROM information_schema.tables ORDER BY 4",
            Error,
            "ORDER BY ordinal out of range",
            {}},
        // A column of the FROM relation outside the select list sorts as in
        // SQL; after DISTINCT or grouping it is left to compute.
        EngineCase{
            "SELECT table_name FROM information_schema.tables ORDER BY table_type DESC, row_count",
            Ok,
            "",
            {{"TABLE_NAME", arrow::utf8(),
              R"(["tables", "items", "leads", "orders", "orders", "ghost"])"}}},
        EngineCase{
            "SELECT table_name AS n FROM information_schema.tables t ORDER BY t.row_count LIMIT 2",
            Ok,
            "",
            {{"n", arrow::utf8(), R"(["tables", "ghost"])"}}},
        // An output name wins over the input column of the same name;
        // a qualified name always means the input column.
        EngineCase{
            "SELECT table_schema AS table_name FROM information_schema.tables WHERE row_count > 0 "
            "ORDER BY table_name",
            Ok,
            "",
            {{"table_name", arrow::utf8(), R"(["public", "sales", "sales", null])"}}},
        EngineCase{"SELECT table_schema AS table_name FROM information_schema.tables t WHERE "
                   "row_count > 0 "
                   "ORDER BY t.table_name",
                   Ok,
                   "",
                   {{"table_name", arrow::utf8(), R"([null, "sales", "public", "sales"])"}}},
        EngineCase{
            "SELECT table_schema AS x, table_name AS x FROM information_schema.tables ORDER BY x",
            NotHandled,
            "ORDER BY name matching several output columns is left to compute",
            {}},
        EngineCase{"SELECT DISTINCT table_name FROM information_schema.tables ORDER BY row_count",
                   NotHandled,
                   "ORDER BY a column outside the select list of this query is left to compute",
                   {}},
        EngineCase{"SELECT table_name FROM information_schema.tables ORDER BY no_such_column",
                   NotHandled,
                   "unknown column no_such_column",
                   {}},
        EngineCase{"SELECT table_name FROM information_schema.tables ORDER BY upper(table_name)",
                   Error,
                   "ORDER BY <expression> is not supported in the metadata path",
                   {}},
        EngineCase{"SELECT count(*) + 1 AS n FROM information_schema.tables",
                   Error,
                   "aggregate function in row-wise evaluator; engine internal error",
                   {}},
        // Integers divide as doubles; a zero divisor (infinity on the
        // service) is left to compute.
        EngineCase{"SELECT row_count / 4 AS q FROM information_schema.tables WHERE row_count = 10",
                   Ok,
                   "",
                   {{"q", arrow::float64(), "[2.5]"}}},
        EngineCase{"SELECT row_count / 0 AS q FROM information_schema.tables",
                   Error,
                   "Invalid: divide by zero",
                   {}}));

TEST_F(EngineTest, ProjectionKeepsFieldMetadata) {
  for (const char* sql : {"SELECT * FROM information_schema.tables",
                          "SELECT table_name FROM information_schema.tables"}) {
    ExecuteResult result = engine_.execute_sql(sql);
    ASSERT_EQ(result.status, ExecuteStatus::Ok) << result.error;
    const int index = result.schema->GetFieldIndex("TABLE_NAME") >= 0
                          ? result.schema->GetFieldIndex("TABLE_NAME")
                          : result.schema->GetFieldIndex("table_name");
    ASSERT_GE(index, 0) << sql;
    auto metadata = result.schema->field(index)->metadata();
    ASSERT_TRUE(metadata) << sql;
    EXPECT_EQ(metadata->Get("comment").ValueOr(""), "name of the table");
  }
  ExecuteResult aliased =
      engine_.execute_sql("SELECT upper(table_name) AS u FROM information_schema.tables");
  ASSERT_EQ(aliased.status, ExecuteStatus::Ok);
  EXPECT_FALSE(aliased.schema->field(0)->metadata());
}

TEST_F(EngineTest, ReRegistrationReplacesTheRelation) {
  auto replacement = make_batch({{"only", arrow::int32(), "[42]"}});
  engine_.register_relation("information_schema.TABLES", replacement->schema(), {replacement});
  ExecuteResult result = engine_.execute_sql("SELECT * FROM information_schema.tables");
  ASSERT_EQ(result.status, ExecuteStatus::Ok);
  EXPECT_TRUE(result.batches.front()->Equals(*replacement));
}

TEST_F(EngineTest, ExecuteWithoutFromIsDeclined) {
  SelectStatement statement;
  ExecuteResult result = engine_.execute(statement);
  EXPECT_EQ(result.status, ExecuteStatus::NotHandled);
  EXPECT_EQ(result.reason, "no FROM clause");
}

TEST_F(EngineTest, ConcurrentStatementsAgree) {
  const char* sql =
      "SELECT table_name FROM information_schema.tables WHERE table_type ILIKE 'base%' ORDER BY 1 "
      "DESC";
  ExecuteResult reference = engine_.execute_sql(sql);
  ASSERT_EQ(reference.status, ExecuteStatus::Ok);
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ExecuteResult result = engine_.execute_sql(sql);
        if (result.status != ExecuteStatus::Ok ||
            !result.batches.front()->Equals(*reference.batches.front())) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(EngineTest, HostileTextNeverThrows) {
  std::string huge = "SELECT table_name FROM information_schema.tables WHERE table_name IN (";
  for (int i = 0; i < 20000; ++i) huge += "'v" + std::to_string(i) + "', ";
  huge += "'orders')";
  const std::string inputs[] = {
      "",
      "   ",
      "/* unterminated",
      "SELECT 'unterminated FROM t",
      std::string("\xff\xfe\x00\x01", 4),
      "SELECT table_name FROM information_schema.tables; DROP TABLE x",
      "DROP TABLE information_schema.tables",
      "UPDATE information_schema.tables SET table_name = 'x'",
      huge,
  };
  for (const std::string& sql : inputs) {
    ExecuteResult result = engine_.execute_sql(sql);
    EXPECT_TRUE(result.status == ExecuteStatus::NotHandled ||
                result.status == ExecuteStatus::Error || result.status == ExecuteStatus::Ok);
    if (result.status == ExecuteStatus::NotHandled)
      EXPECT_FALSE(result.reason.empty()) << sql.substr(0, 40);
    if (result.status == ExecuteStatus::Error)
      EXPECT_FALSE(result.error.empty()) << sql.substr(0, 40);
  }
  ExecuteResult big = engine_.execute_sql(huge);
  ASSERT_EQ(big.status, ExecuteStatus::Ok) << big.error << big.reason;
  EXPECT_EQ(big.batches.front()->num_rows(), 2);
}

}  // namespace
}  // namespace zv_sql
