#include "ingest/ordered_encoder_internal.h"

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

std::shared_ptr<arrow::RecordBatch> BatchOfRows(int rows) {
  auto ids = arrow::MakeArrayFromScalar(arrow::Int64Scalar(rows), rows).ValueOrDie();
  return arrow::RecordBatch::Make(arrow::schema({arrow::field("id", arrow::int64())}), rows, {ids});
}

// Batch k (of k rows) encodes to the text "k"; the batch of `failing_rows`
// rows fails. Earlier batches take longer, so on the pool later ones finish
// first and only the hand-over can restore the order.
zv::OrderedEncoder::Encode SlowFirstEncoder(int batches, int failing_rows) {
  return [=](const arrow::RecordBatch& batch) -> arrow::Result<std::shared_ptr<arrow::Buffer>> {
    const int rows = static_cast<int>(batch.num_rows());
    std::this_thread::sleep_for(std::chrono::microseconds(200 * (batches - rows)));
    if (rows == failing_rows) return arrow::Status::IOError("encoding of batch ", rows, " broke");
    return arrow::Buffer::FromString(std::to_string(rows));
  };
}

TEST(OrderedEncoder, HandsOverInBatchOrderAndNothingAfterAFailedEncoding) {
  constexpr int kBatches = 24;
  struct Case {
    size_t in_flight;  // 1 encodes on the caller's thread
    int failing_rows;  // 0: none fails
  };
  for (const Case& c : {Case{1, 0}, Case{4, 0}, Case{1, 9}, Case{4, 9}, Case{8, 1}}) {
    SCOPED_TRACE("in_flight " + std::to_string(c.in_flight) + ", failing " +
                 std::to_string(c.failing_rows));
    std::vector<int> handed;
    arrow::Status outcome;
    {
      zv::OrderedEncoder encoder(
          SlowFirstEncoder(kBatches, c.failing_rows), c.in_flight,
          [&](const std::shared_ptr<arrow::RecordBatch>& batch,
              arrow::Result<std::shared_ptr<arrow::Buffer>> encoded) -> arrow::Status {
            ARROW_RETURN_NOT_OK(encoded.status());
            EXPECT_EQ((*encoded)->ToString(), std::to_string(batch->num_rows()));
            handed.push_back(static_cast<int>(batch->num_rows()));
            return arrow::Status::OK();
          });
      for (int rows = 1; rows <= kBatches && outcome.ok(); ++rows) {
        outcome = encoder.Add(BatchOfRows(rows));
      }
      if (outcome.ok()) outcome = encoder.Finish();
      // Destroyed here with later encodings possibly still running.
    }
    const int delivered = c.failing_rows == 0 ? kBatches : c.failing_rows - 1;
    std::vector<int> expected;
    for (int rows = 1; rows <= delivered; ++rows) expected.push_back(rows);
    EXPECT_EQ(handed, expected);
    if (c.failing_rows == 0) {
      EXPECT_TRUE(outcome.ok()) << outcome;
    } else {
      EXPECT_TRUE(outcome.IsIOError());
      EXPECT_EQ(outcome.message(),
                "encoding of batch " + std::to_string(c.failing_rows) + " broke");
    }
  }
}

}  // namespace
