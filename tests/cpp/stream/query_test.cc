#include "stream/query.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "stream/cancel_scope.h"
#include "stream/frame.h"
#include "stream/inflight_limits_internal.h"
#include "stream/ipc_test_streams.h"
#include "stream/query_failure.h"
#include "stream/query_worker.h"
#include "util/failure.h"

namespace {

using zv::ZVArrowBatchPtr;
using zv::ZVQueryPtr;

std::shared_ptr<arrow::Schema> SampleSchema() { return zv_test::SampleBatch(1)->schema(); }

// What the consumer saw: row counts of the carriers, then "end" or the error.
std::vector<std::string> Drain(zv::ZVQuery* q) {
  std::vector<std::string> seen;
  std::string error;
  while (ZVArrowBatchPtr carrier = zv::zv_next_batch(q, &error)) {
    seen.push_back(std::to_string(carrier->batch->num_rows()));
  }
  seen.push_back(error.empty() ? "end" : "error: " + error);
  return seen;
}

using Seen = std::vector<std::string>;

TEST(BatchQueue, SchemaKnownFirstGivesAPreludeBeforeTheData) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->AdoptSchema(SampleSchema());
  std::string error;
  ZVArrowBatchPtr prelude = zv::zv_next_batch(q.get(), &error);
  ASSERT_NE(prelude, nullptr);
  EXPECT_EQ(prelude->batch->num_rows(), 0);
  EXPECT_TRUE(prelude->schema->Equals(*SampleSchema()));
  for (int i = 1; i <= 3; ++i) q->Enqueue(SampleSchema(), zv_test::SampleBatch(i));
  q->MarkDone();
  EXPECT_EQ(Drain(q.get()), (Seen{"1", "2", "3", "end"}));
}

TEST(BatchQueue, DataQueuedFirstGetsTheEmptyBatchAfterIt) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  for (int i = 1; i <= 3; ++i) q->Enqueue(SampleSchema(), zv_test::SampleBatch(i));
  q->MarkDone();
  EXPECT_EQ(Drain(q.get()), (Seen{"1", "2", "3", "0", "end"}));
  EXPECT_EQ(Drain(q.get()), (Seen{"end"})) << "the end stays the end";
}

TEST(BatchQueue, AnErrorOvertakesQueuedBatches) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->Enqueue(SampleSchema(), zv_test::SampleBatch(1));
  q->Enqueue(SampleSchema(), zv_test::SampleBatch(2));
  q->RecordError(zv::StreamFault("compute reported error: boom"));
  q->RecordError(zv::StreamFault("second error is ignored"));
  EXPECT_EQ(Drain(q.get()), (Seen{"error: compute reported error: boom"}));
}

TEST(BatchQueue, NoSchemaAtAllEndsAtOnce) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->MarkDone();
  EXPECT_EQ(Drain(q.get()), (Seen{"end"}));
  std::string error;
  EXPECT_EQ(zv::zv_next_batch(nullptr, &error), nullptr);
  EXPECT_EQ(error, "zv_next_batch: q is NULL");
}

TEST(BatchQueue, ProducerBlocksAtTheBoundUntilTheConsumerReads) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->SetInflightLimits(4, 0);
  for (int i = 0; i < 4; ++i) q->Enqueue(SampleSchema(), zv_test::SampleBatch(1));
  auto fifth =
      std::async(std::launch::async, [&] { q->Enqueue(SampleSchema(), zv_test::SampleBatch(5)); });
  EXPECT_EQ(fifth.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  std::string error;
  ASSERT_NE(zv::zv_next_batch(q.get(), &error), nullptr);
  EXPECT_EQ(fifth.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const std::vector<int64_t> queued = q->QueuedRowCountsForTesting();
  EXPECT_EQ(queued.size(), 4u);
  EXPECT_EQ(queued.back(), 5);
}

TEST(BatchQueue, ClosingReleasesABlockedProducerWhichDropsItsBatch) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->SetInflightLimits(1, 0);
  q->Enqueue(SampleSchema(), zv_test::SampleBatch(1));
  zv::ZVQuery* raw = q.get();
  // The worker thread is the query's own, so closing joins it.
  ASSERT_TRUE(
      raw->StartWorker([raw] { raw->Enqueue(SampleSchema(), zv_test::SampleBatch(2)); }).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  q.reset();  // must return: the producer gives up instead of waiting forever
}

TEST(BatchQueue, ByteBudgetAdmitsOneOversizedBatchIntoAnEmptyQueue) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->SetInflightLimits(0, 1);  // smaller than any batch
  q->Enqueue(SampleSchema(), zv_test::SampleBatch(100));
  auto second = std::async(std::launch::async,
                           [&] { q->Enqueue(SampleSchema(), zv_test::SampleBatch(100)); });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  std::string error;
  ASSERT_NE(zv::zv_next_batch(q.get(), &error), nullptr);
  EXPECT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(EngineResult, ServesItsBatchesThenTheEmptyBatch) {
  auto two = *zv::zv_wrap_engine_result(
      nullptr, SampleSchema(), {zv_test::SampleBatch(2), nullptr, zv_test::SampleBatch(3)});
  EXPECT_EQ(Drain(two.get()), (Seen{"2", "3", "0", "end"}));
  auto none = *zv::zv_wrap_engine_result(nullptr, SampleSchema(), {});
  EXPECT_EQ(Drain(none.get()), (Seen{"0", "end"}));
}

// --- frames of the query stream --------------------------------------------

std::vector<uint8_t> BatchPayload(uint32_t index, const std::vector<uint8_t>& ipc) {
  std::vector<uint8_t> payload = {0, 0, 0, static_cast<uint8_t>(index), 0, 0, 0, 0};
  payload.insert(payload.end(), ipc.begin(), ipc.end());
  return payload;
}

int Feed(zv::ZVQuery* q, uint8_t type, const std::vector<uint8_t>& payload) {
  return zv::QueryFrameHandler(type, payload.data(), payload.size(), q);
}

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

TEST(QueryFrames, BatchesOfOtherResultSetsAndHeaderOnlyBatchesAddNothing) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  const auto ipc = zv_test::WriteIpcStream(SampleSchema(), {zv_test::SampleBatch(2)});
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(1, ipc)), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(0, {})), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(0, ipc)), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 2}), 0);
  EXPECT_FALSE(q->eos_seen()) << "only the EOS of result set 0 ends the surfaced result";
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 0}), 0);
  EXPECT_TRUE(q->eos_seen());
  // Other result sets may still follow; they are dropped.
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(1, ipc)), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 1}), 0);
  zv::FinishQueryStream(q.get(), /*partial_frame=*/false);
  q->MarkDone();
  EXPECT_EQ(Drain(q.get()), (Seen{"2", "0", "end"}));
}

TEST(QueryFrames, EveryBatchOfAFrameArrivesAndTheBodyMustEndWithItsEos) {
  const auto ipc = zv_test::WriteIpcStream(
      SampleSchema(), {zv_test::SampleBatch(2), zv_test::SampleBatch(3), zv_test::SampleBatch(4)});
  struct Case {
    const char* name;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> frames;
    bool partial_frame;
    Seen seen;
    std::string error;
  } cases[] = {
      {"three batches in one frame",
       {{zv::kZvFrameBatch, BatchPayload(0, ipc)}, {zv::kZvFrameEos, {0, 0, 0, 0}}},
       false,
       {"2", "3", "4", "0", "end"},
       ""},
      // A failure wins over batches still queued: the result is not complete.
      {"no EOS",
       {{zv::kZvFrameBatch, BatchPayload(0, ipc)}},
       false,
       {"error: the result stream ended without its end-of-stream frame"},
       "the result stream ended without its end-of-stream frame"},
      {"EOS of result set 0 of two ends the result",
       {{zv::kZvFrameInit, Text(R"({"resultSets":[{},{}]})")},
        {zv::kZvFrameBatch, BatchPayload(0, ipc)},
        {zv::kZvFrameEos, {0, 0, 0, 0}}},
       false,
       {"2", "3", "4", "0", "end"},
       ""},
      {"only the EOS of result set 1",
       {{zv::kZvFrameInit, Text(R"({"resultSets":[{},{}]})")},
        {zv::kZvFrameBatch, BatchPayload(0, ipc)},
        {zv::kZvFrameEos, {0, 0, 0, 1}}},
       false,
       {"error: the result stream ended without its end-of-stream frame"},
       "the result stream ended without its end-of-stream frame"},
      {"cut inside a frame",
       {{zv::kZvFrameEos, {0, 0, 0, 0}}},
       true,
       {"error: stream ended mid-frame (truncated binary response)"},
       "stream ended mid-frame (truncated binary response)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZVQueryPtr q = zv::NewQuery(nullptr);
    for (const auto& [type, payload] : c.frames) EXPECT_EQ(Feed(q.get(), type, payload), 0);
    zv::FinishQueryStream(q.get(), c.partial_frame);
    q->MarkDone();
    EXPECT_EQ(Drain(q.get()), c.seen);
    EXPECT_EQ(q->ErrorText(), c.error);
  }
}

TEST(QueryFrames, AFrameOfResultSetZeroAfterItsEosFailsTheQuery) {
  const auto ipc = zv_test::WriteIpcStream(SampleSchema(), {zv_test::SampleBatch(2)});
  const std::pair<uint8_t, std::vector<uint8_t>> late[] = {
      {zv::kZvFrameBatch, BatchPayload(0, ipc)},
      {zv::kZvFrameEos, {0, 0, 0, 0}},
      {zv::kZvFrameBatch, {0, 0, 0}},
      {zv::kZvFrameEos, {0, 0}},
      {zv::kZvFrameTrace, Text("x")},
      {zv::kZvFrameInit, Text("{}")},
      {0x42, {}}};
  for (const auto& [type, payload] : late) {
    ZVQueryPtr q = zv::NewQuery(nullptr);
    ASSERT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 0}), 0);
    EXPECT_EQ(Feed(q.get(), type, payload), 1);
    EXPECT_EQ(q->ErrorText().rfind(
                  "the result stream continued after its end-of-stream frame (frame type ", 0),
              0u)
        << q->ErrorText();
  }
  // A later statement's failure still reaches the host as the server put it.
  ZVQueryPtr q = zv::NewQuery(nullptr);
  ASSERT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 0}), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameError, Text(R"({"message":"second statement failed"})")), 1);
  EXPECT_EQ(q->ErrorText(), "compute reported error: second statement failed");
}

TEST(QueryFrames, MalformedFramesFailTheQueryWithTheirOwnText) {
  struct Case {
    uint8_t type;
    std::vector<uint8_t> payload;
    std::string error;
  } cases[] = {
      {zv::kZvFrameBatch, {0, 0, 0}, "BATCH frame truncated (header < 8 bytes)"},
      {zv::kZvFrameEos, {0, 0}, "EOS frame truncated (header < 4 bytes)"},
      {zv::kZvFrameError, Text(R"({"message":"Catalog Error: no table t"})"),
       "compute reported error: Catalog Error: no table t"},
      {zv::kZvFrameError, Text(R"({"error":"fallback"})"), "compute reported error: fallback"},
      {zv::kZvFrameError, Text("plain text"), "compute reported error: plain text"},
      {zv::kZvFrameInit, Text("{not json"), "frame parse failure: "},
      {zv::kZvFrameInit, Text(R"({"resultSets":{"a":1}})"), "frame parse failure: "},
      {zv::kZvFrameBatch, BatchPayload(0, {1, 2, 3, 4}), "IPC decode (batch): "},
  };
  for (const auto& c : cases) {
    ZVQueryPtr q = zv::NewQuery(nullptr);
    EXPECT_EQ(Feed(q.get(), c.type, c.payload), 1) << c.error;
    EXPECT_EQ(q->ErrorText().rfind(c.error, 0), 0u) << q->ErrorText();
  }
}

// A failure keeps the SQLSTATE known where it happened, whatever words its
// text uses; only a server text that came with no code is read for phrases.
TEST(QueryFailures, KeepTheSqlStateKnownWhereTheyHappened) {
  ZVQueryPtr broken_init = zv::NewQuery(nullptr);
  Feed(broken_init.get(), zv::kZvFrameInit, Text("{not json"));  // the parser says "syntax error"
  struct Case {
    const char* name;
    arrow::Status failure;
    const char* sqlstate;
    zv::FailureKind kind;
  } cases[] = {
      {"a 403 whose text says timeout", zv::ComputeHttpFailure(403, R"({"message":"timeout"})"),
       "42501", zv::FailureKind::kUnauthorized},
      {"a 503 with no code", zv::ComputeHttpFailure(503, "<html>maintenance</html>"), "53000",
       zv::FailureKind::kIo},
      {"the server's SQLSTATE beats the status",
       zv::ComputeHttpFailure(503, R"({"message":"draining","sqlstate":"08006"})"), "08006",
       zv::FailureKind::kIo},
      {"a status that says nothing leaves it to the text",
       zv::ComputeHttpFailure(500, R"({"message":"statement timeout"})"), "HYT00",
       zv::FailureKind::kTimeout},
      {"an unreadable frame is a broken stream", zv::QueryFailure(broken_init.get()), "HY000",
       zv::FailureKind::kIo},
  };
  for (const auto& c : cases) {
    const zv::FailureDetail* detail = zv::FailureDetailOf(c.failure);
    ASSERT_NE(detail, nullptr) << c.name;
    EXPECT_EQ(detail->sqlstate(), c.sqlstate) << c.name << ": " << c.failure.message();
    EXPECT_EQ(detail->kind(), c.kind) << c.name;
  }
}

TEST(QueryFrames, InitCarriesRowsAffectedSchemaAndStreamId) {
  ZVQueryPtr q = zv::NewQuery(nullptr);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameInit,
                 Text(R"({"streamId":"s-1","resultSets":[{"rowsAffected":7,"schemaIpc":"@@"}]})")),
            0);
  EXPECT_EQ(q->RowsAffected(), 7);
  EXPECT_EQ(q->StreamId(), "s-1");
  EXPECT_EQ(q->KnownSchema(), nullptr) << "an unusable schemaIpc is ignored";
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameInit, Text(R"({"resultSets":"not a list"})")), 0)
      << "only an object in place of the list fails the frame";
  EXPECT_EQ(q->ErrorText(), "");
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameTrace, Text("debug")), 0);
  EXPECT_EQ(Feed(q.get(), 0x42, Text("future frame")), 0);
}

TEST(QueryRequest, AsksForBatchesThatFitTheInFlightBudget) {
  EXPECT_EQ(*zv::QueryRequestBody("SELECT 1", 0, 4), R"({"sql":"SELECT 1"})");
  EXPECT_EQ(*zv::QueryRequestBody("SELECT 1", 256u << 20, 0), R"({"sql":"SELECT 1"})");
  EXPECT_EQ(*zv::QueryRequestBody("SELECT 1", 256u << 20, 4),
            R"({"sql":"SELECT 1","stream_options":{"max_batch_bytes":67108864}})");
  EXPECT_EQ(*zv::QueryRequestBody("SELECT 1", 8u << 20, 4),
            R"({"sql":"SELECT 1","stream_options":{"max_batch_bytes":4194304}})");
  auto bad = zv::QueryRequestBody("SELECT '\xff'", 0, 0);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(
      bad.status().message().rfind("failed to encode SQL as JSON (likely non-UTF-8 input): ", 0),
      0u);
}

TEST(InflightLimits, EnvironmentTextsAreParsedStrictly) {
  EXPECT_EQ(zv::ParseInflightBatches("8"), 8u);
  EXPECT_EQ(zv::ParseInflightBatches("0"), 0u);
  EXPECT_EQ(zv::ParseInflightBatches("1024"), 1024u);
  EXPECT_EQ(zv::ParseInflightBatches("2000"), std::nullopt);
  EXPECT_EQ(zv::ParseInflightBatches("abc"), std::nullopt);
  EXPECT_EQ(zv::ParseInflightBatches("-1"), std::nullopt);
  EXPECT_EQ(zv::ParseInflightBytes("1048576"), 1048576u);
  EXPECT_EQ(zv::ParseInflightBytes(nullptr), std::nullopt);
}

// Rows are counted as they arrive, whether or not the consumer reads them;
// the rows expected are known once the result is complete, and the count
// stays readable through the statement's scope after the query is closed.
TEST(ExecProgress, CountsReceivedRowsAndOutlivesTheQuery) {
  auto scope = std::make_shared<zv::CancelScope>();
  EXPECT_EQ(scope->LatestProgress().rows, 0);
  ZVQueryPtr q = zv::NewQuery(nullptr);
  q->JoinCancelScope(scope);
  const auto ipc = zv_test::WriteIpcStream(SampleSchema(), {zv_test::SampleBatch(2)});
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(0, ipc)), 0);
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(1, ipc)), 0);  // not surfaced
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameBatch, BatchPayload(0, ipc)), 0);
  EXPECT_EQ(scope->LatestProgress().rows, 4);
  EXPECT_EQ(scope->LatestProgress().expected_rows, 0) << "not known while streaming";
  EXPECT_EQ(Feed(q.get(), zv::kZvFrameEos, {0, 0, 0, 0}), 0);
  zv::FinishQueryStream(q.get(), /*partial_frame=*/false);
  q.reset();
  EXPECT_EQ(scope->LatestProgress().rows, 4);
  EXPECT_EQ(scope->LatestProgress().expected_rows, 4);

  ZVQueryPtr failed = zv::NewQuery(nullptr);
  failed->JoinCancelScope(scope);
  EXPECT_EQ(scope->LatestProgress().rows, 0) << "the latest run is the one reported";
  EXPECT_EQ(Feed(failed.get(), zv::kZvFrameBatch, BatchPayload(0, ipc)), 0);
  zv::FinishQueryStream(failed.get(), /*partial_frame=*/true);
  EXPECT_EQ(scope->LatestProgress().expected_rows, 0) << "a broken result has no total";

  auto engine = *zv::zv_wrap_engine_result(nullptr, SampleSchema(),
                                           {zv_test::SampleBatch(2), zv_test::SampleBatch(3)});
  engine->JoinCancelScope(scope);
  EXPECT_EQ(scope->LatestProgress().rows, 5);
  EXPECT_EQ(scope->LatestProgress().expected_rows, 5);
}

}  // namespace
