// Encodes a load's batches on Arrow's CPU thread pool, several at once, and
// hands the payloads over in the order the batches came, so the encoding of
// one batch overlaps with the next ones' and with the upload.
#pragma once

#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/util/future.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>

namespace zv {

class OrderedEncoder {
 public:
  using Encode =
      std::function<arrow::Result<std::shared_ptr<arrow::Buffer>>(const arrow::RecordBatch& batch)>;
  // Receives each batch with its encoding (or the encoder's failure), in the
  // order the batches were added; its failure ends the run.
  using Sink = std::function<arrow::Status(const std::shared_ptr<arrow::RecordBatch>& batch,
                                           arrow::Result<std::shared_ptr<arrow::Buffer>> encoded)>;

  // At most `in_flight` batches are being encoded or wait to be handed over,
  // so memory stays within that many inputs and encodings. A bound of 1, or a
  // caller that is itself one of the pool's threads (waiting there for the
  // pool could take its last thread), encodes on the caller's thread.
  OrderedEncoder(Encode encode, size_t in_flight, Sink sink);
  // Waits for encodings still running; their results are dropped.
  ~OrderedEncoder();
  OrderedEncoder(const OrderedEncoder&) = delete;
  OrderedEncoder& operator=(const OrderedEncoder&) = delete;

  // Starts encoding `batch`, first handing over the oldest when the bound is
  // reached. After a failure nothing more is handed over.
  arrow::Status Add(std::shared_ptr<arrow::RecordBatch> batch);
  // Hands over everything still pending, in order.
  arrow::Status Finish();

  // The bound a load uses: one encoding per thread of the pool, within the
  // frames the upload queues.
  static size_t InFlightForLoads(size_t queued_frames);

 private:
  struct Pending {
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Future<std::shared_ptr<arrow::Buffer>> encoded;
  };
  arrow::Status HandOverOldest();

  const Encode encode_;
  const size_t in_flight_;
  const bool on_pool_;
  const Sink sink_;
  std::deque<Pending> pending_;
  arrow::Status failed_;
};

}  // namespace zv
