// Latency of the metadata engine. Each benchmark times every call on its own
// and reports the median and 95th percentile as counters (microseconds), which
// bench/metadata_engine_vs_duckdb.py prints beside DuckDB's figures.
//
// ZV_BENCH_COLUMNS_IPC=<file>: read information_schema.columns from that Arrow
// IPC stream (so that DuckDB can be timed on the very same table); otherwise a
// deterministic 100,000-row table is generated.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <arrow/builder.h>
#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <arrow/record_batch.h>
#include <benchmark/benchmark.h>

#include "metadata_engine/metadata_engine.h"
#include "metadata_engine/parse_select.h"

namespace {

constexpr int64_t kRows = 100000;

const char* const kCatalogQueries[] = {
    "SELECT * FROM information_schema.tables",
    "SELECT table_schema, table_name FROM information_schema.tables WHERE table_type = 'BASE "
    "TABLE' "
    "ORDER BY table_schema, table_name",
    "SELECT column_name, data_type, is_nullable, ordinal_position FROM information_schema.columns "
    "WHERE table_schema = 'public' AND table_name = 'orders' ORDER BY ordinal_position",
    "SELECT DISTINCT table_schema FROM information_schema.columns WHERE table_name ILIKE 'ord%' "
    "AND data_type IN ('VARCHAR', 'INTEGER', 'BIGINT') ORDER BY 1 LIMIT 50",
};

// The query of the execute benchmark; the Python comparison runs the same text.
const char* const kExecuteQuery =
    "SELECT table_name, column_name, ordinal_position, data_type FROM information_schema.columns "
    "WHERE table_schema = 'schema_7' AND data_type LIKE 'VARCHAR%' "
    "ORDER BY table_name, ordinal_position LIMIT 100";

template <typename Builder, typename Value>
void append(Builder& builder, const Value& value) {
  if (!builder.Append(value).ok()) std::abort();
}

std::shared_ptr<arrow::RecordBatch> generate_columns() {
  static const char* const kTypes[] = {"VARCHAR", "INTEGER",   "BIGINT",
                                       "BOOLEAN", "TIMESTAMP", "VARCHAR(64)"};
  arrow::StringBuilder catalog, schema, table, column, type, nullable;
  arrow::Int32Builder position;
  uint64_t state = 42;
  auto next = [&] {
    return state = state * 6364136223846793005ULL + 1442695040888963407ULL, state >> 33;
  };
  for (int64_t row = 0; row < kRows; ++row) {
    const int64_t table_id = row / 10;
    append(catalog, "db");
    append(schema, "schema_" + std::to_string(table_id % 50));
    append(table, "table_" + std::to_string(table_id));
    append(column, "column_" + std::to_string(next() % 1000));
    append(position, static_cast<int32_t>(row % 10 + 1));
    append(type, kTypes[next() % 6]);
    append(nullable, (next() % 2) ? "YES" : "NO");
  }
  arrow::ArrayVector arrays(7);
  for (auto [builder, slot] : std::vector<std::pair<arrow::ArrayBuilder*, int>>{{&catalog, 0},
                                                                                {&schema, 1},
                                                                                {&table, 2},
                                                                                {&column, 3},
                                                                                {&position, 4},
                                                                                {&type, 5},
                                                                                {&nullable, 6}}) {
    if (!builder->Finish(&arrays[slot]).ok()) std::abort();
  }
  auto fields = arrow::schema(
      {arrow::field("table_catalog", arrow::utf8()), arrow::field("table_schema", arrow::utf8()),
       arrow::field("table_name", arrow::utf8()), arrow::field("column_name", arrow::utf8()),
       arrow::field("ordinal_position", arrow::int32()), arrow::field("data_type", arrow::utf8()),
       arrow::field("is_nullable", arrow::utf8())});
  return arrow::RecordBatch::Make(fields, kRows, arrays);
}

arrow::Result<std::vector<std::shared_ptr<arrow::RecordBatch>>> read_columns(const char* path) {
  ARROW_ASSIGN_OR_RAISE(auto file, arrow::io::ReadableFile::Open(path));
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(file));
  return reader->ToRecordBatches();
}

const zv_sql::MetadataEngine& engine() {
  static const zv_sql::MetadataEngine instance = [] {
    zv_sql::MetadataEngine e;
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
    if (const char* path = std::getenv("ZV_BENCH_COLUMNS_IPC")) {
      batches = read_columns(path).ValueOrDie();
    } else {
      batches.push_back(generate_columns());
    }
    e.register_relation("information_schema.columns", batches.front()->schema(), batches);
    return e;
  }();
  return instance;
}

// Times `call` once per iteration and reports median and p95 in microseconds.
template <typename Call>
void time_each_call(benchmark::State& state, Call call) {
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    call();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p95_us"] = micros[std::min(micros.size() - 1, micros.size() * 95 / 100)];
}

void BM_ParseSelect(benchmark::State& state) {
  const char* sql = kCatalogQueries[state.range(0)];
  time_each_call(state, [&] {
    zv_sql::ParseStatus status;
    auto statement = zv_sql::parse_select(sql, status);
    if (!statement) state.SkipWithError(status.message.c_str());
    benchmark::DoNotOptimize(statement);
  });
}
BENCHMARK(BM_ParseSelect)->DenseRange(0, 3)->UseRealTime();

// A text seen for the first time: the parser and the JSON decoding run, where
// a repeated text (above) gets the tree kept from its first parse.
void BM_ParseSelectFirstTime(benchmark::State& state) {
  const std::string sql = kCatalogQueries[state.range(0)];
  int64_t call = 0;
  time_each_call(state, [&] {
    zv_sql::ParseStatus status;
    auto statement = zv_sql::parse_select(sql + " -- " + std::to_string(call++), status);
    if (!statement) state.SkipWithError(status.message.c_str());
    benchmark::DoNotOptimize(statement);
  });
}
BENCHMARK(BM_ParseSelectFirstTime)->DenseRange(0, 3)->UseRealTime();

// Times the engine answering `sql` over the benchmark's columns relation.
void time_execute_sql(benchmark::State& state, const std::string& sql) {
  const zv_sql::MetadataEngine& e = engine();
  time_each_call(state, [&] {
    zv_sql::ExecuteResult result = e.execute_sql(sql);
    if (result.status != zv_sql::ExecuteStatus::Ok)
      state.SkipWithError((result.error + result.reason).c_str());
    benchmark::DoNotOptimize(result);
  });
}

void BM_ExecuteSqlColumns100k(benchmark::State& state) {
  time_execute_sql(state, kExecuteQuery);
  state.counters["rows_in"] = static_cast<double>(kRows);
}
BENCHMARK(BM_ExecuteSqlColumns100k)->UseRealTime()->Unit(benchmark::kMillisecond);

// ZV_BENCH_SQL=<file>: each line a statement, timed as BM_ExecuteSql/<line>,
// so the Python comparison keeps the one list of queries it also gives DuckDB.
void register_sql_benchmarks() {
  const char* path = std::getenv("ZV_BENCH_SQL");
  if (path == nullptr) return;
  std::ifstream file(path);
  std::string sql;
  for (int line = 0; std::getline(file, sql); ++line) {
    benchmark::RegisterBenchmark(("BM_ExecuteSql/" + std::to_string(line)).c_str(),
                                 [sql](benchmark::State& state) { time_execute_sql(state, sql); })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  register_sql_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
