// Arrow IPC streams built with Arrow's own writer, for the decoding tests and
// the stream benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>

namespace zv_test {

// Columns "id" (int64, first_id onwards) and "name" (utf8 "row<id>").
inline std::shared_ptr<arrow::RecordBatch> SampleBatch(int64_t rows, int64_t first_id = 0) {
  arrow::Int64Builder ids;
  arrow::StringBuilder names;
  for (int64_t i = first_id; i < first_id + rows; ++i) {
    if (!ids.Append(i).ok() || !names.Append("row" + std::to_string(i)).ok()) return nullptr;
  }
  auto schema = arrow::schema({arrow::field("id", arrow::int64(), /*nullable=*/false),
                               arrow::field("name", arrow::utf8(), /*nullable=*/false)});
  auto id_array = ids.Finish();
  auto name_array = names.Finish();
  if (!id_array.ok() || !name_array.ok()) return nullptr;
  return arrow::RecordBatch::Make(schema, rows, {*id_array, *name_array});
}

// One IPC stream: the schema, each batch, and the end-of-stream marker unless
// `end_marker` is false (writers may leave it out).
inline std::vector<uint8_t> WriteIpcStream(
    const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches,
    const arrow::ipc::IpcWriteOptions& options = arrow::ipc::IpcWriteOptions::Defaults(),
    bool end_marker = true) {
  auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
  auto writer = arrow::ipc::MakeStreamWriter(sink, schema, options).ValueOrDie();
  for (const auto& batch : batches) {
    if (!writer->WriteRecordBatch(*batch).ok()) return {};
  }
  if (!writer->Close().ok()) return {};
  auto buffer = sink->Finish().ValueOrDie();
  std::vector<uint8_t> bytes(buffer->data(), buffer->data() + buffer->size());
  constexpr size_t kEndMarkerSize = 8;
  if (!end_marker) bytes.resize(bytes.size() - kEndMarkerSize);
  return bytes;
}

}  // namespace zv_test
