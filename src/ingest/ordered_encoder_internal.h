// Encodes a load's batches on Arrow's CPU thread pool, several at once, and
// hands the payloads over in the order the batches came, so an encoding that
// costs more than the upload (Parquet) no longer runs on one core.
#pragma once

#include <arrow/buffer.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/util/future.h>

#include <deque>
#include <functional>
#include <memory>

#include "ingest/ingest_options.h"

namespace zv {

class OrderedEncoder {
 public:
  // Receives each batch with its encoding (or the encoder's failure), in order.
  using Sink = std::function<arrow::Status(const std::shared_ptr<arrow::RecordBatch>& batch,
                                           arrow::Result<std::shared_ptr<arrow::Buffer>> encoded)>;

  // At most `in_flight` batches are encoded or waiting to be handed over, so
  // memory stays within that many inputs and encodings.
  OrderedEncoder(PayloadFormat format, size_t in_flight, Sink sink);
  // Waits for encodings still running (their results are dropped).
  ~OrderedEncoder();
  OrderedEncoder(const OrderedEncoder&) = delete;
  OrderedEncoder& operator=(const OrderedEncoder&) = delete;

  // Starts encoding `batch`; first hands over the oldest when the bound is reached.
  arrow::Status Add(std::shared_ptr<arrow::RecordBatch> batch);
  // Hands over everything still pending, in order.
  arrow::Status Finish();

 private:
  struct Pending {
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Future<std::shared_ptr<arrow::Buffer>> encoded;
  };
  arrow::Status HandOverOldest();

  PayloadFormat format_;
  size_t in_flight_;
  Sink sink_;
  std::deque<Pending> pending_;
};

}  // namespace zv
