#include "snapshot/snapshot_decode_internal.h"

#include <cstring>
#include <vector>

#include <arrow/array/builder_base.h>
#include <arrow/buffer.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/memory_pool.h>
#include <arrow/table.h>
#include <arrow/type.h>

#include "diagnostics/log.h"
#include "stream/frame.h"
#include "stream/ipc_decode.h"
#include "stream/ipc_read_budget.h"

namespace zv {

namespace {

// A snapshot slot may legitimately be an empty relation sent as a bare
// schema; it must still register with its columns.
std::shared_ptr<arrow::RecordBatch> ZeroRowBatch(const std::shared_ptr<arrow::Schema>& schema,
                                                 int slot) {
  std::vector<std::shared_ptr<arrow::Array>> columns;
  columns.reserve(schema->num_fields());
  for (int i = 0; i < schema->num_fields(); ++i) {
    std::unique_ptr<arrow::ArrayBuilder> builder;
    arrow::Status made =
        arrow::MakeBuilder(arrow::default_memory_pool(), schema->field(i)->type(), &builder);
    if (!made.ok()) {
      ZV_LOG(kLogError, "info_schema", "snapshot RS %d: empty-array build failed for field %d: %s",
             slot, i, made.ToString().c_str());
      return nullptr;
    }
    std::shared_ptr<arrow::Array> column;
    arrow::Status finished = builder->Finish(&column);
    if (!finished.ok()) {
      ZV_LOG(kLogError, "info_schema", "snapshot RS %d: empty-array finish failed for field %d: %s",
             slot, i, finished.ToString().c_str());
      return nullptr;
    }
    columns.push_back(std::move(column));
  }
  return arrow::RecordBatch::Make(schema, 0, std::move(columns));
}

}  // namespace

std::shared_ptr<arrow::RecordBatch> zv_snapshot_decode_slot(const uint8_t* bytes, size_t length,
                                                            int slot) {
  if (bytes == nullptr || length == 0) {
    ZV_LOG(kLogError, "info_schema", "snapshot RS %d: empty IPC bytes", slot);
    return nullptr;
  }
  // Not zv_ipc_decode: opening the stream and reading its batch are reported
  // separately here.
  IpcReadBudget budget(static_cast<int64_t>(kZvMaxFramePayload));
  auto reader = [&]() -> arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchStreamReader>> {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Buffer> owned,
                          arrow::AllocateBuffer(static_cast<int64_t>(length)));
    std::memcpy(owned->mutable_data(), bytes, length);
    return arrow::ipc::RecordBatchStreamReader::Open(
        std::make_shared<arrow::io::BufferReader>(std::move(owned)), NetworkIpcReadOptions());
  }();
  if (!reader.ok()) {
    ZV_LOG(kLogError, "info_schema", "snapshot RS %d: IPC stream open failed: %s", slot,
           reader.status().ToString().c_str());
    return nullptr;
  }
  // Every batch of the slot's stream, each checked before anyone reads it,
  // joined into the slot's one batch.
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  while (true) {
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Status read = (*reader)->ReadNext(&batch);
    if (read.ok() && batch != nullptr) read = zv_validate_received_batch(*batch);
    if (!read.ok()) {
      ZV_LOG(kLogError, "info_schema", "snapshot RS %d: IPC ReadNext failed: %s", slot,
             read.ToString().c_str());
      return nullptr;
    }
    if (batch == nullptr) break;
    batches.push_back(std::move(batch));
  }
  if (batches.empty()) return ZeroRowBatch((*reader)->schema(), slot);
  if (batches.size() == 1) return batches.front();
  auto combined = [&]() -> arrow::Result<std::shared_ptr<arrow::RecordBatch>> {
    ARROW_ASSIGN_OR_RAISE(auto table,
                          arrow::Table::FromRecordBatches((*reader)->schema(), batches));
    return table->CombineChunksToBatch();
  }();
  if (!combined.ok()) {
    ZV_LOG(kLogError, "info_schema", "snapshot RS %d: joining %zu batches failed: %s", slot,
           batches.size(), combined.status().ToString().c_str());
    return nullptr;
  }
  return *combined;
}

}  // namespace zv
