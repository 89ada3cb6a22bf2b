// libFuzzer target: arbitrary text through parse_select and execute_sql.
// Whatever the input, both must return (no crash, no exception, no sanitizer
// report) with a consistent status; Ok results must be valid Arrow data.
//
// Inputs starting with byte 0x01 describe a long statement instead:
// 0x01, two bytes of repeat count (big endian), then prefix 0x02 item 0x02
// suffix; the item is repeated between prefix and suffix. That reaches
// the long AND/OR chains, FROM lists and operator chains that the input
// length limit would otherwise keep out. Every statement runs on a thread
// with a small stack, as on hosts whose threads have 1 MiB.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <arrow/array.h>
#include <arrow/json/from_string.h>
#include <arrow/record_batch.h>

#include "metadata_engine/metadata_engine.h"
#include "platform/stack_thread.h"

namespace {

std::shared_ptr<arrow::RecordBatch> sample_relation() {
  auto names =
      arrow::json::ArrayFromJSONString(arrow::utf8(), R"(["orders", "Items", null, "a\nb", "x%y"])")
          .ValueOrDie();
  auto kinds =
      arrow::json::ArrayFromJSONString(arrow::utf8(), R"(["BASE TABLE", "VIEW", null, "VIEW", ""])")
          .ValueOrDie();
  auto sizes =
      arrow::json::ArrayFromJSONString(arrow::int32(), "[1, null, -3, 2147483647, 0]").ValueOrDie();
  auto ratio = arrow::json::ArrayFromJSONString(arrow::float64(), "[0.5, null, -1e308, 0.0, 3]")
                   .ValueOrDie();
  auto flags =
      arrow::json::ArrayFromJSONString(arrow::boolean(), "[true, false, null, true, false]")
          .ValueOrDie();
  auto schema = arrow::schema(
      {arrow::field("table_name", arrow::utf8()), arrow::field("table_type", arrow::utf8()),
       arrow::field("size", arrow::int32()), arrow::field("ratio", arrow::float64()),
       arrow::field("flag", arrow::boolean())});
  return arrow::RecordBatch::Make(schema, 5, {names, kinds, sizes, ratio, flags});
}

zv_sql::MetadataEngine make_engine() {
  zv_sql::MetadataEngine engine;
  auto batch = sample_relation();
  engine.register_relation("information_schema.tables", batch->schema(), {batch, batch});
  engine.register_relation("t", batch->schema(), {batch});
  engine.register_relation("information_schema.triggers", batch->schema(), {});
  return engine;
}

const zv_sql::MetadataEngine& engine() {
  static const zv_sql::MetadataEngine instance = make_engine();
  return instance;
}

// The sanitizer's instrumentation roughly doubles stack frames.
constexpr size_t kThreadStack = size_t{2} << 20;

std::string expand(std::string_view input) {
  if (input.size() < 3 || input[0] != '\x01') return std::string(input);
  const size_t count =
      (static_cast<uint8_t>(input[1]) << 8 | static_cast<uint8_t>(input[2])) % 30000;
  const std::string_view rest = input.substr(3);
  const size_t first = rest.find('\x02');
  const size_t second = first == std::string_view::npos ? first : rest.find('\x02', first + 1);
  if (second == std::string_view::npos) return std::string(rest);
  const std::string_view item = rest.substr(first + 1, second - first - 1);
  std::string sql(rest.substr(0, first));
  sql.reserve(sql.size() + count * item.size() + rest.size());
  for (size_t i = 0; i < count; ++i) sql += item;
  sql += rest.substr(second + 1);
  return sql;
}

void check(std::string_view sql) {
  zv_sql::ParseStatus status;
  zv_sql::SelectPtr statement = zv_sql::parse_select(sql, status);
  if ((statement != nullptr) != (status.code == zv_sql::ParseCode::None)) std::abort();
  if (!statement && status.message.empty()) std::abort();

  const zv_sql::ExecuteResult result = engine().execute_sql(sql);
  switch (result.status) {
    case zv_sql::ExecuteStatus::Ok:
      if (result.batches.size() != 1 || !result.schema) std::abort();
      if (!result.batches.front()->ValidateFull().ok()) std::abort();
      break;
    case zv_sql::ExecuteStatus::NotHandled:
      if (result.reason.empty()) std::abort();
      break;
    case zv_sql::ExecuteStatus::Error:
      if (result.error.empty()) std::abort();
      break;
    default: std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string sql = expand(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!zv::RunOnThreadWithStack(kThreadStack, [&] { check(sql); })) std::abort();
  return 0;
}
