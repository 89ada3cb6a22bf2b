// Frame sequences of a snapshot response, through the real frame parser.
#include "snapshot/snapshot_stream_internal.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "stream/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t type, const Bytes& payload) {
  return *zv::zv_frame_encode(type, payload.data(), payload.size());
}
Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Init(std::string_view json) { return Frame(zv::kZvFrameInit, Text(json)); }
Bytes Batch(uint32_t index, std::string_view data) {
  Bytes payload = {static_cast<uint8_t>(index >> 24),
                   static_cast<uint8_t>(index >> 16),
                   static_cast<uint8_t>(index >> 8),
                   static_cast<uint8_t>(index),
                   0,
                   0,
                   0,
                   0};
  payload.insert(payload.end(), data.begin(), data.end());
  return Frame(zv::kZvFrameBatch, payload);
}
Bytes AllSlotsExcept(int missing) {
  Bytes out;
  for (uint32_t slot = 0; slot < 9; ++slot) {
    if (static_cast<int>(slot) == missing) continue;
    Bytes frame = Batch(slot, "slot" + std::to_string(slot));
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct Outcome {
  int feed_result;
  std::string error;  // empty: success
  std::optional<zv::ZVSnapshot> snapshot;
};

Outcome Collect(const Bytes& body) {
  zv::SnapshotStreamCollector collector;
  zv::ZVFrameParserPtr parser =
      zv::zv_frame_create(&zv::SnapshotStreamCollector::OnFrame, &collector);
  Outcome out;
  // Byte by byte: the collector must not care how the body was chunked.
  out.feed_result = 0;
  for (size_t i = 0; i < body.size() && out.feed_result == 0; ++i) {
    out.feed_result = zv::zv_frame_feed(parser.get(), &body[i], 1);
  }
  if (out.feed_result != 0) {
    out.error = collector.error();
    return out;
  }
  arrow::Status finished = collector.Finish(zv::zv_frame_pending(parser.get()));
  if (!finished.ok()) {
    out.error = finished.message();
    // Nothing of a failed stream is kept.
    for (const auto& buffer : collector.snapshot().buffers) EXPECT_FALSE(buffer.has_value());
    EXPECT_EQ(collector.snapshot().epoch, 0u);
  } else {
    out.snapshot = std::move(collector.snapshot());
  }
  return out;
}

struct Case {
  const char* name;
  Bytes body;
  const char* error;  // "" for success
};

TEST(SnapshotStream, FailuresCarryTheirMessages) {
  const Bytes ok_init = Init(R"({"epoch":7,"slots":[]})");
  const Case cases[] = {
      {"complete", Cat({ok_init, AllSlotsExcept(-1), Frame(zv::kZvFrameEos, Bytes(4))}), ""},
      {"missing slot 4", Cat({ok_init, AllSlotsExcept(4)}),
       "snapshot result_set 4 missing in stream"},
      {"lowest missing slot wins", Cat({ok_init, Batch(8, "x")}),
       "snapshot result_set 0 missing in stream"},
      {"index out of range", Cat({ok_init, Batch(9, "x")}),
       "snapshot BATCH result_set_index 9 out of range"},
      {"huge index", Cat({ok_init, Batch(0xFFFFFFFFu, "x")}),
       "snapshot BATCH result_set_index 4294967295 out of range"},
      {"batch shorter than its header", Cat({ok_init, Frame(zv::kZvFrameBatch, Bytes(7))}),
       "snapshot BATCH frame truncated (len=7)"},
      {"epoch as string", Cat({Init(R"({"epoch":"7"})"), AllSlotsExcept(-1)}),
       "snapshot INIT frame missing 'epoch' field"},
      {"INIT not an object", Cat({Init("[7]"), AllSlotsExcept(-1)}),
       "snapshot INIT frame missing 'epoch' field"},
      {"no INIT", AllSlotsExcept(-1), "snapshot stream missing INIT frame"},
      {"server error after batches",
       Cat({ok_init, Batch(0, "a"), Frame(zv::kZvFrameError, Text(R"({"message":"boom"})"))}),
       "snapshot server-side ERROR: boom"},
      {"server error without message", Cat({ok_init, Frame(zv::kZvFrameError, Text("{}"))}),
       "snapshot server-side ERROR: (unknown)"},
      {"malformed server error", Cat({ok_init, Frame(zv::kZvFrameError, Text("{oops"))}),
       "snapshot server-side ERROR (malformed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = Collect(c.body);
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.snapshot.has_value(), std::string(c.error).empty());
  }
}

TEST(SnapshotStream, InitParseFailureNamesTheParser) {
  Outcome out = Collect(Init("{not json"));
  EXPECT_EQ(out.feed_result, 1);
  EXPECT_EQ(out.error.rfind("snapshot INIT frame parse: ", 0), 0u) << out.error;
}

TEST(SnapshotStream, TruncatedBodyIsReportedBeforeMissingSlots) {
  Bytes body = Cat({Init(R"({"epoch":1})"), Batch(0, "abcdef")});
  body.resize(body.size() - 3);
  EXPECT_EQ(Collect(body).error, "snapshot transfer ended mid-frame (truncated)");
}

TEST(SnapshotStream, KeepsTheLastBatchPerSlotAndEmptyDataParts) {
  Bytes body = Cat({Init(R"({"epoch":18446744073709551615})"), AllSlotsExcept(-1),
                    Batch(2, "second"), Batch(5, ""), Frame(zv::kZvFrameTrace, Text("t")),
                    Frame(zv::kZvFrameStats, Text("s")), Frame(42, Text("unknown type"))});
  Outcome out = Collect(body);
  ASSERT_TRUE(out.snapshot) << out.error;
  EXPECT_EQ(out.snapshot->epoch, 18446744073709551615ull);
  EXPECT_EQ(*out.snapshot->buffers[2], Text("second"));
  ASSERT_TRUE(out.snapshot->buffers[5].has_value());
  EXPECT_TRUE(out.snapshot->buffers[5]->empty());
  EXPECT_EQ(*out.snapshot->buffers[8], Text("slot8"));
}

TEST(SnapshotStream, EpochFromAnyJsonNumber) {
  const std::pair<const char*, uint64_t> cases[] = {
      {R"({"epoch":3})", 3},
      {R"({"epoch":3.9})", 3},
      {R"({"epoch":-1.5})", 0},
      {R"({"epoch":1e30})", UINT64_MAX},
  };
  for (const auto& [json, epoch] : cases) {
    SCOPED_TRACE(json);
    Outcome out = Collect(Cat({Init(json), AllSlotsExcept(-1)}));
    ASSERT_TRUE(out.snapshot) << out.error;
    EXPECT_EQ(out.snapshot->epoch, epoch);
  }
}

}  // namespace
