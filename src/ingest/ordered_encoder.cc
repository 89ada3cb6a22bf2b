#include "ingest/ordered_encoder_internal.h"

#include <arrow/util/thread_pool.h>

#include <algorithm>

namespace zv {

OrderedEncoder::OrderedEncoder(Encode encode, size_t in_flight, Sink sink)
    : encode_(std::move(encode)),
      in_flight_(std::max<size_t>(1, in_flight)),
      on_pool_(in_flight_ > 1 && !arrow::internal::GetCpuThreadPool()->OwnsThisThread()),
      sink_(std::move(sink)) {}

OrderedEncoder::~OrderedEncoder() {
  // The tasks read the batches and the encode function this object holds.
  for (Pending& pending : pending_) pending.encoded.Wait();
}

size_t OrderedEncoder::InFlightForLoads(size_t queued_frames) {
  const int threads = arrow::internal::GetCpuThreadPool()->GetCapacity();
  return std::clamp<size_t>(static_cast<size_t>(std::max(threads, 1)), 1,
                            std::max<size_t>(queued_frames, 1));
}

arrow::Status OrderedEncoder::Add(std::shared_ptr<arrow::RecordBatch> batch) {
  ARROW_RETURN_NOT_OK(failed_);
  if (!on_pool_) {
    failed_ = sink_(batch, encode_(*batch));
    return failed_;
  }
  if (pending_.size() >= in_flight_) ARROW_RETURN_NOT_OK(HandOverOldest());
  // The task sees the batch by pointer: only this thread holds references,
  // so the host's buffers are released on the host's thread, as their
  // producer may expect. The pending entry keeps the batch alive until its
  // encoding is handed over, and the destructor waits for every task.
  const arrow::RecordBatch* raw = batch.get();
  ARROW_ASSIGN_OR_RAISE(auto encoded, arrow::internal::GetCpuThreadPool()->Submit(
                                          [this, raw] { return encode_(*raw); }));
  pending_.push_back({std::move(batch), std::move(encoded)});
  return arrow::Status::OK();
}

arrow::Status OrderedEncoder::Finish() {
  while (!pending_.empty()) ARROW_RETURN_NOT_OK(HandOverOldest());
  return failed_;
}

arrow::Status OrderedEncoder::HandOverOldest() {
  Pending oldest = std::move(pending_.front());
  pending_.pop_front();
  failed_ = sink_(oldest.batch, oldest.encoded.MoveResult());
  return failed_;
}

}  // namespace zv
