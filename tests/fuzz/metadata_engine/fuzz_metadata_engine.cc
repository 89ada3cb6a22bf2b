// libFuzzer target: arbitrary text through parse_select and execute_sql.
// Whatever the input, both must return (no crash, no exception, no sanitizer
// report) with a consistent status; Ok results must be valid Arrow data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <arrow/array.h>
#include <arrow/json/from_string.h>
#include <arrow/record_batch.h>

#include "metadata_engine/metadata_engine.h"

namespace {

std::shared_ptr<arrow::RecordBatch> sample_relation() {
  auto names = arrow::json::ArrayFromJSONString(arrow::utf8(), R"(["orders", "Items", null, "a\nb", "x%y"])").ValueOrDie();
  auto kinds = arrow::json::ArrayFromJSONString(arrow::utf8(), R"(["BASE TABLE", "VIEW", null, "VIEW", ""])").ValueOrDie();
  auto sizes = arrow::json::ArrayFromJSONString(arrow::int32(), "[1, null, -3, 2147483647, 0]").ValueOrDie();
  auto ratio = arrow::json::ArrayFromJSONString(arrow::float64(), "[0.5, null, -1e308, 0.0, 3]").ValueOrDie();
  auto flags = arrow::json::ArrayFromJSONString(arrow::boolean(), "[true, false, null, true, false]").ValueOrDie();
  auto schema = arrow::schema({arrow::field("table_name", arrow::utf8()), arrow::field("table_type", arrow::utf8()),
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);

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
    default:
      std::abort();
  }
  return 0;
}
