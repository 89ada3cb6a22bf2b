// Turns the Arrow IPC streams carried by frames into Arrow objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <arrow/buffer.h>
#include <string_view>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include "stream/batch_validation.h"

namespace zv {

struct ZVDecodedIpc {
  std::shared_ptr<arrow::Schema> schema;
  // Every record batch of the stream, in order; empty when the stream carries
  // only a schema. Each has passed zv_validate_received_batch.
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
};

// Reads one IPC stream from memory, every batch of it. The bytes are copied
// once into a buffer of Arrow's default pool and the batches' arrays slice
// that buffer, so the result does not depend on `bytes` after the call (they
// are usually the HTTP receive buffer). At TRACE level the stream's
// compression codec is logged.
arrow::Result<ZVDecodedIpc> zv_ipc_decode(const uint8_t* bytes, size_t count);

// The same for bytes already held in Arrow memory: no copy is made and the
// arrays slice `owned`.
arrow::Result<ZVDecodedIpc> zv_ipc_decode_buffer(const std::shared_ptr<arrow::Buffer>& owned);

// The result schema announced by a query's INIT frame: `schema_ipc` is the
// base64 text of "schemaIpc". Null when there is none to take, in which case
// the schema comes from the first batch. Text that is not base64 (or empty) is
// ignored silently; an undecodable stream is logged at DEBUG.
std::shared_ptr<arrow::Schema> zv_decode_init_schema(std::string_view schema_ipc);

}  // namespace zv
