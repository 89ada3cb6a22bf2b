// Encodings of ingest data: each batch becomes one self-contained payload.
#pragma once

#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <memory>

#include "ingest/ingest_options.h"

namespace zv {

// An Arrow IPC stream holding only the schema and the end-of-stream marker.
arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeSchemaIpc(const arrow::Schema& schema);

// An Arrow IPC stream holding the schema, this one batch and the end marker,
// so any batch decodes without the others.
arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatchIpc(const arrow::RecordBatch& batch);

// What becomes of a payload once the service has it. A table load decodes
// it once and drops it; land mode keeps a Parquet payload as the landed file.
enum class PayloadUse { kDecodedOnce, kKeptAsFile };

// A complete Parquet file of this one batch, in one row group, with the Arrow
// schema in the file's metadata, so time zones, units, durations, large and
// dictionary types read back as they were sent. A payload decoded once is
// written plain, without dictionaries or statistics: they cost the encoder
// most of its time and give a one-shot reader nothing. A kept file has the
// library's defaults, which its later readers use. Failure messages name the
// step that failed.
arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatchParquet(
    const arrow::RecordBatch& batch, PayloadUse use = PayloadUse::kDecodedOnce);

// Everything the run and the upload do differently per payload format.
// PayloadCodecFor chooses it with the one switch over PayloadFormat, which
// the compiler checks for a missing format (-Wswitch), so a new format says
// how it is named, checked and encoded in one place.
struct PayloadCodec {
  const char* name;  // as zv.ingest.payload_format and the upload header spell it
  // The schema travels in the upload header ahead of the batches, and must
  // be given before the first one.
  bool sends_schema;
  bool supports_upsert;
  // Batches are encoded on the CPU pool, several at once; otherwise on the
  // host's thread, where an encoding that is little more than a copy costs
  // less than handing the batch to another thread.
  bool encodes_in_parallel;
  // Refuses, before anything is sent, a schema the format cannot carry.
  arrow::Status (*check_schema)(const arrow::Schema& schema);
  // One batch as one self-contained payload; messages carry the run's prefixes.
  arrow::Result<std::shared_ptr<arrow::Buffer>> (*encode)(const arrow::RecordBatch& batch,
                                                          PayloadUse use);
};

const PayloadCodec& PayloadCodecFor(PayloadFormat format);

// The batch in the chosen format, with the failure prefixes the run reports.
inline arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatch(
    const arrow::RecordBatch& batch, PayloadFormat format,
    PayloadUse use = PayloadUse::kDecodedOnce) {
  return PayloadCodecFor(format).encode(batch, use);
}

}  // namespace zv
