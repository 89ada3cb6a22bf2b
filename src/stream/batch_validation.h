// The checks every batch that came off the network passes before anyone
// reads it.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/status.h>

namespace zv {

// Every length, offset, view, child count, dictionary index, null count and
// buffer size must keep a reader inside the batch's buffers: Arrow's full
// validation, except the value scans that cannot protect a reader's memory
// (UTF-8 of text, the precision of decimals), at every depth of nested
// columns. Text and decimals are passed on as received, as any other value.
// Invalid with "received batch is malformed: ..." otherwise.
arrow::Status zv_validate_received_batch(const arrow::RecordBatch& batch);

}  // namespace zv
