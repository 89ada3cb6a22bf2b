#include "stream/ipc_decode.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <arrow/array/validate.h>
#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/status.h>
#include <arrow/array/data.h>
#include <arrow/type.h>
#include <arrow/util/key_value_metadata.h>

#include "diagnostics/log.h"
#include "stream/base64.h"

namespace zv {

namespace {

constexpr std::string_view kCompressionKey = "ARROW:experimental_compression";

// Only the first occurrence counts, even if a writer repeated the key.
void LogCompressionCodec(const arrow::Schema& schema) {
  const auto& metadata = schema.metadata();
  if (metadata == nullptr) return;
  for (int64_t i = 0; i < metadata->size(); ++i) {
    if (metadata->key(i) == kCompressionKey) {
      ZV_LOG(zv::kLogTrace, "transport", "Compressed Arrow IPC frame: codec=%s",
             metadata->value(i).c_str());
      return;
    }
  }
}

}  // namespace

arrow::Result<ZVDecodedIpc> zv_ipc_decode(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr && count > 0) return arrow::Status::Invalid("IPC payload is null");
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> owned,
                        arrow::AllocateBuffer(static_cast<int64_t>(count)));
  if (count > 0) std::memcpy(owned->mutable_data(), bytes, count);
  return zv_ipc_decode_buffer(owned);
}

arrow::Result<ZVDecodedIpc> zv_ipc_decode_buffer(const std::shared_ptr<arrow::Buffer>& owned) {
  if (owned == nullptr) return arrow::Status::Invalid("IPC payload is null");
  auto input = std::make_shared<arrow::io::BufferReader>(owned);
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(
                                         input, arrow::ipc::IpcReadOptions::Defaults()));
  ZVDecodedIpc decoded;
  decoded.schema = reader->schema();
  // The metadata scan is skipped entirely unless someone will see the line.
  if (zv::LogEnabled(zv::kLogTrace)) LogCompressionCodec(*decoded.schema);
  while (true) {
    std::shared_ptr<arrow::RecordBatch> batch;
    ARROW_RETURN_NOT_OK(reader->ReadNext(&batch));
    if (batch == nullptr) return decoded;
    ARROW_RETURN_NOT_OK(zv_validate_received_batch(*batch));
    decoded.batches.push_back(std::move(batch));
  }
}

namespace {

// The layout twin of a column type whose full check includes a scan of the
// values that cannot protect a reader's memory: text as the binary it is laid
// out as (same offsets and views, no UTF-8 scan), decimals as fixed-size
// binary of their width (same single buffer, no precision check). Null for
// every other type.
std::shared_ptr<arrow::DataType> LayoutTwin(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::STRING: return arrow::binary();
    case arrow::Type::LARGE_STRING: return arrow::large_binary();
    case arrow::Type::STRING_VIEW: return arrow::binary_view();
    case arrow::Type::DECIMAL32:
    case arrow::Type::DECIMAL64:
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256:
      return arrow::fixed_size_binary(static_cast<const arrow::FixedWidthType&>(type).byte_width());
    default: return nullptr;
  }
}

// Full validation of one column, except that text and decimal columns are
// checked as their layout twins: every offset, view and buffer size and the
// null count are still checked, which is all a reader needs to stay inside
// the buffers, while the value scans (UTF-8, decimal precision: most of the
// cost on such results) are left out. A value out of its declared precision
// reaches the host as the service sent it. Text and decimals nested in lists
// or structs still get the full check.
arrow::Status ValidateColumnBounds(const arrow::ArrayData& column) {
  std::shared_ptr<arrow::DataType> twin = LayoutTwin(*column.type);
  if (twin == nullptr) return arrow::internal::ValidateArrayFull(column);
  arrow::ArrayData as_layout = column;
  as_layout.type = std::move(twin);
  return arrow::internal::ValidateArrayFull(as_layout);
}

// Everything a reader relies on to stay inside the buffers: the batch's own
// checks (column count, lengths and types against the schema), then each
// column's bounds (buffer sizes, offsets, child lengths, dictionary indices).
arrow::Status ValidateBounds(const arrow::RecordBatch& batch) {
  ARROW_RETURN_NOT_OK(batch.Validate());
  for (int i = 0; i < batch.num_columns(); ++i) {
    ARROW_RETURN_NOT_OK(ValidateColumnBounds(*batch.column_data(i)));
  }
  return arrow::Status::OK();
}

}  // namespace

arrow::Status zv_validate_received_batch(const arrow::RecordBatch& batch) {
  arrow::Status valid = ValidateBounds(batch);
  if (valid.ok()) return valid;
  return arrow::Status::Invalid("received batch is malformed: ", valid.message());
}

std::shared_ptr<arrow::Schema> zv_decode_init_schema(std::string_view schema_ipc) {
  std::optional<std::vector<uint8_t>> bytes = zv_base64_decode(schema_ipc);
  if (!bytes) return nullptr;
  arrow::Result<ZVDecodedIpc> decoded = zv_ipc_decode(bytes->data(), bytes->size());
  if (decoded.ok() && decoded->schema != nullptr) return decoded->schema;
  ZV_LOG(zv::kLogDebug, "transport",
         "INIT schemaIpc decode produced no schema (%s); falling back to first-batch schema",
         decoded.ok() ? "empty stream" : decoded.status().ToString().c_str());
  return nullptr;
}

}  // namespace zv
