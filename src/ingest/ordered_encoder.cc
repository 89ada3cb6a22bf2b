#include "ingest/ordered_encoder_internal.h"

#include <arrow/util/thread_pool.h>

#include <algorithm>

#include "ingest/payload_encoder_internal.h"

namespace zv {

OrderedEncoder::OrderedEncoder(PayloadFormat format, size_t in_flight, Sink sink)
    : format_(format), in_flight_(std::max<size_t>(1, in_flight)), sink_(std::move(sink)) {}

OrderedEncoder::~OrderedEncoder() {
  for (Pending& pending : pending_) pending.encoded.Wait();
}

arrow::Status OrderedEncoder::Add(std::shared_ptr<arrow::RecordBatch> batch) {
  if (pending_.size() >= in_flight_) ARROW_RETURN_NOT_OK(HandOverOldest());
  // The task sees the batch by pointer: only this thread holds references,
  // so the host's buffers are released on the host's thread, as their
  // producer may expect. The pending entry keeps the batch alive until the
  // encoding is handed over, and the destructor waits for every task.
  const arrow::RecordBatch* raw = batch.get();
  const PayloadFormat format = format_;
  ARROW_ASSIGN_OR_RAISE(auto encoded, arrow::internal::GetCpuThreadPool()->Submit(
                                          [raw, format] { return EncodeBatch(*raw, format); }));
  pending_.push_back({std::move(batch), std::move(encoded)});
  return arrow::Status::OK();
}

arrow::Status OrderedEncoder::Finish() {
  while (!pending_.empty()) ARROW_RETURN_NOT_OK(HandOverOldest());
  return arrow::Status::OK();
}

arrow::Status OrderedEncoder::HandOverOldest() {
  Pending oldest = std::move(pending_.front());
  pending_.pop_front();
  return sink_(oldest.batch, oldest.encoded.result());
}

}  // namespace zv
