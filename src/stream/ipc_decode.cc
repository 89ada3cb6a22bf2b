#include "stream/ipc_decode.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/status.h>
#include <arrow/util/key_value_metadata.h>

#include "diagnostics/log.h"
#include "stream/base64.h"
#include "stream/batch_validation.h"
#include "stream/frame.h"
#include "stream/ipc_read_budget.h"

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
  // Decoded, a frame holds no more than it may hold on the wire.
  IpcReadBudget budget(static_cast<int64_t>(kZvMaxFramePayload));
  auto input = std::make_shared<arrow::io::BufferReader>(owned);
  ARROW_ASSIGN_OR_RAISE(auto reader,
                        arrow::ipc::RecordBatchStreamReader::Open(input, NetworkIpcReadOptions()));
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
