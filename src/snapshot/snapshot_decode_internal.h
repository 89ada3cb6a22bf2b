#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <arrow/record_batch.h>

namespace zv {

// Decodes one slot's Arrow IPC stream into one record batch holding all of
// its batches, each validated as data from the network; a stream with a
// schema and no batch gives a zero-row batch of that schema. Null on
// any failure, each logged at ERROR under "info_schema". The bytes are copied,
// so the result does not depend on them after the call.
std::shared_ptr<arrow::RecordBatch> zv_snapshot_decode_slot(const uint8_t* bytes, size_t length,
                                                            int slot);

}  // namespace zv
