#include "stream/frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

struct Delivered {
  uint8_t type;
  std::string payload;
  bool operator==(const Delivered&) const = default;
};

// Records every frame; stops the transfer at the frame numbered `stop_at`.
struct Recorder {
  std::vector<Delivered> frames;
  std::vector<const uint8_t*> payload_pointers;
  size_t stop_at = SIZE_MAX;

  static int Handle(uint8_t type, const uint8_t* payload, uint64_t length, void* context) {
    auto* self = static_cast<Recorder*>(context);
    self->frames.push_back({type, std::string(reinterpret_cast<const char*>(payload), length)});
    self->payload_pointers.push_back(payload);
    return self->frames.size() == self->stop_at + 1 ? 1 : 0;
  }
};

Bytes Frame(uint8_t type, std::string_view payload) {
  return *zv::zv_frame_encode(type, reinterpret_cast<const uint8_t*>(payload.data()),
                              payload.size());
}

Bytes Header(uint8_t type, uint32_t length) {
  return {type,
          0,
          0,
          0,
          static_cast<uint8_t>(length >> 24),
          static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length)};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

int FeedInChunks(zv::ZVFrameParser* parser, const Bytes& stream, size_t chunk) {
  for (size_t at = 0; at < stream.size(); at += chunk) {
    int result = zv::zv_frame_feed(parser, stream.data() + at, std::min(chunk, stream.size() - at));
    if (result != 0) return result;
  }
  return 0;
}

TEST(FrameParser, EveryChunkingDeliversTheSameFrames) {
  Bytes reserved_set = Frame(zv::kZvFrameTrace, "reserved bytes are ignored");
  reserved_set[1] = 0xAB;
  reserved_set[2] = 0xCD;
  reserved_set[3] = 0xEF;
  const Bytes stream = Concat(
      {Frame(zv::kZvFrameInit, R"({"streamId":"s"})"), Frame(zv::kZvFrameBatch, ""), reserved_set,
       Frame(0xC8, std::string(70000, 'x')), Frame(zv::kZvFrameEos, std::string(4, '\0'))});
  const std::vector<Delivered> expected = {{zv::kZvFrameInit, R"({"streamId":"s"})"},
                                           {zv::kZvFrameBatch, ""},
                                           {zv::kZvFrameTrace, "reserved bytes are ignored"},
                                           {0xC8, std::string(70000, 'x')},
                                           {zv::kZvFrameEos, std::string(4, '\0')}};
  for (size_t chunk : {stream.size(), size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{8},
                       size_t{9}, size_t{31}, size_t{4096}, size_t{65536}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    Recorder recorder;
    zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
    EXPECT_EQ(FeedInChunks(parser.get(), stream, chunk), 0);
    EXPECT_EQ(recorder.frames, expected);
    EXPECT_FALSE(zv::zv_frame_pending(parser.get()));
  }
}

// Two whole frames and 3 bytes of a third in one chunk: the whole ones are
// read in place, the third waits in the buffer until its last bytes arrive.
TEST(FrameParser, WholeFramesAreReadInPlaceAndASplitOneIsBuffered) {
  const Bytes third = Frame(zv::kZvFrameEos, std::string(4, '\0'));
  const Bytes chunk = Concat({Frame(zv::kZvFrameInit, "{}"), Frame(zv::kZvFrameBatch, "abc"),
                              Bytes(third.begin(), third.begin() + 3)});
  Recorder recorder;
  zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
  EXPECT_EQ(zv::zv_frame_feed(parser.get(), chunk.data(), chunk.size()), 0);
  ASSERT_EQ(recorder.frames.size(), 2u);
  EXPECT_EQ(recorder.payload_pointers[0], chunk.data() + 8);
  EXPECT_EQ(recorder.payload_pointers[1], chunk.data() + 8 + 2 + 8);
  EXPECT_TRUE(zv::zv_frame_pending(parser.get()));

  EXPECT_EQ(zv::zv_frame_feed(parser.get(), third.data() + 3, third.size() - 3), 0);
  ASSERT_EQ(recorder.frames.size(), 3u);
  EXPECT_EQ(recorder.frames[2], (Delivered{zv::kZvFrameEos, std::string(4, '\0')}));
  const uint8_t* copied = recorder.payload_pointers[2];
  EXPECT_FALSE(copied >= third.data() && copied < third.data() + third.size());
  EXPECT_FALSE(zv::zv_frame_pending(parser.get()));
}

TEST(FrameParser, LengthCeilingAppliesWhetherTheHeaderArrivesWholeOrSplit) {
  struct Case {
    uint32_t length;
    size_t first_piece;  // header bytes in the first feed call
    int result;
    bool pending;
  };
  for (const Case& c :
       {Case{0x10000000, 8, 0, true}, Case{0x10000000, 5, 0, true}, Case{0x10000001, 8, -1, false},
        Case{0x10000001, 5, -1, false}, Case{0xFFFFFFFF, 1, -1, false}}) {
    SCOPED_TRACE(std::to_string(c.length) + " split after " + std::to_string(c.first_piece));
    const Bytes header = Header(zv::kZvFrameBatch, c.length);
    Recorder recorder;
    zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
    int result = zv::zv_frame_feed(parser.get(), header.data(), c.first_piece);
    if (c.first_piece < 8) {
      EXPECT_EQ(result, 0);
      result = zv::zv_frame_feed(parser.get(), header.data() + c.first_piece, 8 - c.first_piece);
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(zv::zv_frame_pending(parser.get()), c.pending);
    EXPECT_TRUE(recorder.frames.empty());
  }
}

TEST(FrameParser, HandlerStopEndsTheFeedAtOnce) {
  const Bytes stream = Concat({Frame(zv::kZvFrameError, "a"), Frame(zv::kZvFrameBatch, "b"),
                               Frame(zv::kZvFrameBatch, "c")});
  for (size_t chunk : {stream.size(), size_t{1}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    Recorder recorder;
    recorder.stop_at = 0;
    zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
    EXPECT_EQ(FeedInChunks(parser.get(), stream, chunk), 1);
    EXPECT_THAT(recorder.frames, ElementsAre(Delivered{zv::kZvFrameError, "a"}));
    EXPECT_FALSE(zv::zv_frame_pending(parser.get()));
  }
}

TEST(FrameParser, NullAndEmptyArgumentsChangeNothing) {
  Recorder recorder;
  zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
  const Bytes header = Header(zv::kZvFrameBatch, 4);
  EXPECT_EQ(zv::zv_frame_feed(nullptr, header.data(), header.size()), 0);
  EXPECT_EQ(zv::zv_frame_feed(parser.get(), nullptr, header.size()), 0);
  EXPECT_EQ(zv::zv_frame_feed(parser.get(), header.data(), 0), 0);
  EXPECT_FALSE(zv::zv_frame_pending(parser.get()));
  EXPECT_FALSE(zv::zv_frame_pending(nullptr));
  zv::zv_frame_destroy(nullptr);
  EXPECT_EQ(zv::zv_frame_create(nullptr, &recorder), nullptr);
}

TEST(FrameEncode, WritesTypeZeroReservedBytesAndBigEndianLength) {
  const uint8_t zeros[4] = {};
  EXPECT_THAT(*zv::zv_frame_encode(zv::kZvFrameEos, zeros, 4),
              ElementsAre(0x03, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0));
  EXPECT_THAT(*zv::zv_frame_encode(zv::kZvFrameInit, nullptr, 0),
              ElementsAre(0x01, 0, 0, 0, 0, 0, 0, 0));
  const Bytes big(0x010203, 0x5A);
  const Bytes frame = *zv::zv_frame_encode(zv::kZvFrameBatch, big.data(), big.size());
  EXPECT_THAT(Bytes(frame.begin(), frame.begin() + 8), ElementsAre(2, 0, 0, 0, 0, 1, 2, 3));
  EXPECT_EQ(frame.size(), big.size() + 8);
  EXPECT_FALSE(zv::zv_frame_encode(zv::kZvFrameBatch, zeros, size_t{1} << 32).ok());
}

}  // namespace

namespace {

// Takes every payload the parser offers and keeps it past the handler call.
struct Taker {
  std::vector<std::shared_ptr<arrow::Buffer>> taken;
  std::vector<std::string> seen;
  static int Handle(uint8_t, const uint8_t* payload, uint64_t length, void* context) {
    auto* self = static_cast<Taker*>(context);
    self->seen.emplace_back(reinterpret_cast<const char*>(payload), length);
    self->taken.push_back(zv::zv_frame_take_payload());
    return 0;
  }
};

TEST(FrameParser, AssembledPayloadsCanBeTakenWithoutACopy) {
  Taker taker;
  zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Taker::Handle, &taker);
  const Bytes stream = Concat({Frame(2, "first-payload"), Frame(2, "second"), Frame(3, "x")});
  // Split inside the first and the second frame; the third arrives whole.
  ASSERT_EQ(zv::zv_frame_feed(parser.get(), stream.data(), 12), 0);
  ASSERT_EQ(zv::zv_frame_feed(parser.get(), stream.data() + 12, 20), 0);
  ASSERT_EQ(zv::zv_frame_feed(parser.get(), stream.data() + 32, stream.size() - 32), 0);
  ASSERT_EQ(taker.seen, (std::vector<std::string>{"first-payload", "second", "x"}));
  ASSERT_NE(taker.taken[0], nullptr);
  ASSERT_NE(taker.taken[1], nullptr);
  EXPECT_EQ(taker.taken[0]->ToString(), "first-payload") << "a taken buffer is not reused";
  EXPECT_EQ(taker.taken[1]->ToString(), "second");
  EXPECT_EQ(taker.taken[2], nullptr) << "whole frames stay in the caller's memory";
  EXPECT_EQ(zv::zv_frame_take_payload(), nullptr) << "nothing to take outside a handler";

  // A buffer released back to the parser (first) or after it is gone (second):
  // the sanitizer builds fail here if either release touches freed memory.
  taker.taken[0].reset();
  parser.reset();
  taker.taken.clear();
}

}  // namespace

namespace {

// A transport that receives payload bytes straight into the window, a few at
// a time, and feeds everything else: the frames are the same as fed ones.
TEST(FrameParser, BytesReceivedIntoTheWindowCompleteTheFrame) {
  const Bytes stream = Concat({Frame(zv::kZvFrameBatch, std::string(5000, 'p')),
                               Frame(zv::kZvFrameEos, std::string(4, '\0'))});
  Recorder recorder;
  zv::ZVFrameParserPtr parser = zv::zv_frame_create(&Recorder::Handle, &recorder);
  EXPECT_TRUE(zv::zv_frame_receive_window(parser.get()).empty());
  size_t at = 0;
  while (at < stream.size()) {
    std::span<uint8_t> window = zv::zv_frame_receive_window(parser.get());
    const size_t take = std::min<size_t>(window.empty() ? 10 : 777, stream.size() - at);
    if (window.empty()) {
      ASSERT_EQ(zv::zv_frame_feed(parser.get(), stream.data() + at, take), 0);
    } else {
      const size_t into = std::min(take, window.size());
      std::copy_n(stream.data() + at, into, window.data());
      ASSERT_EQ(zv::zv_frame_received(parser.get(), into), 0);
      at += into;
      continue;
    }
    at += take;
  }
  EXPECT_THAT(recorder.frames, ElementsAre(Delivered{zv::kZvFrameBatch, std::string(5000, 'p')},
                                           Delivered{zv::kZvFrameEos, std::string(4, '\0')}));
  EXPECT_FALSE(zv::zv_frame_pending(parser.get()));
}

}  // namespace
