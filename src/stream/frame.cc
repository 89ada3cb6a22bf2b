#include "stream/frame.h"

#include <algorithm>
#include <limits>
#include <new>
#include <span>

#include <arrow/status.h>

struct ZVFrameParser {
  ZVFrameParser(zv_frame_handler handler, void* context) : handler(handler), context(context) {}

  zv_frame_handler handler;
  void* context;
  // Either empty or the leading bytes (header included) of exactly one frame.
  // Its capacity survives between frames so that a stream of similar frames
  // split across chunks allocates once, not once per frame.
  std::vector<uint8_t> buffer;
};

namespace {

using Bytes = std::span<const uint8_t>;

uint32_t PayloadLength(const uint8_t* header) { return zv_read_be32(header + 4); }

size_t FrameSize(uint32_t payload_length) { return kZvFrameHeaderSize + payload_length; }

void MoveInto(std::vector<uint8_t>& buffer, Bytes& rest, size_t count) {
  buffer.insert(buffer.end(), rest.begin(), rest.begin() + count);
  rest = rest.subspan(count);
}

// Buffer empty: a frame that lies whole in `rest` goes to the handler straight
// from the caller's memory; only a frame cut by the end of the chunk is copied.
int FeedFromChunk(ZVFrameParser& parser, Bytes& rest) {
  if (rest.size() < kZvFrameHeaderSize) {
    MoveInto(parser.buffer, rest, rest.size());
    return 0;
  }
  const uint32_t length = PayloadLength(rest.data());
  if (length > kZvMaxFramePayload) return -1;
  const size_t frame_size = FrameSize(length);
  if (rest.size() >= frame_size) {
    const uint8_t type = rest[0];
    const uint8_t* payload = rest.data() + kZvFrameHeaderSize;
    rest = rest.subspan(frame_size);
    return parser.handler(type, payload, length, parser.context);
  }
  parser.buffer.reserve(frame_size);
  MoveInto(parser.buffer, rest, rest.size());
  return 0;
}

// Buffer holds a partial frame: complete its header, then its payload.
int FeedIntoBuffer(ZVFrameParser& parser, Bytes& rest) {
  std::vector<uint8_t>& buffer = parser.buffer;
  if (buffer.size() < kZvFrameHeaderSize) {
    MoveInto(buffer, rest, std::min(rest.size(), kZvFrameHeaderSize - buffer.size()));
    if (buffer.size() < kZvFrameHeaderSize) return 0;
    if (PayloadLength(buffer.data()) > kZvMaxFramePayload) {
      buffer.clear();
      return -1;
    }
    buffer.reserve(FrameSize(PayloadLength(buffer.data())));
  }
  const uint32_t length = PayloadLength(buffer.data());
  const size_t frame_size = FrameSize(length);
  MoveInto(buffer, rest, std::min(rest.size(), frame_size - buffer.size()));
  if (buffer.size() < frame_size) return 0;
  const int result =
      parser.handler(buffer[0], buffer.data() + kZvFrameHeaderSize, length, parser.context);
  buffer.clear();
  return result;
}

}  // namespace

void ZVFrameParserDeleter::operator()(ZVFrameParser* parser) const { zv_frame_destroy(parser); }

ZVFrameParserPtr zv_frame_create(zv_frame_handler handler, void* context) {
  if (handler == nullptr) return nullptr;
  try {
    return ZVFrameParserPtr(std::make_unique<ZVFrameParser>(handler, context).release());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int zv_frame_feed(ZVFrameParser* parser, const uint8_t* bytes, size_t count) {
  if (parser == nullptr || bytes == nullptr || count == 0) return 0;
  Bytes rest(bytes, count);
  while (!rest.empty()) {
    const int result =
        parser->buffer.empty() ? FeedFromChunk(*parser, rest) : FeedIntoBuffer(*parser, rest);
    if (result != 0) return result;
  }
  return 0;
}

bool zv_frame_pending(const ZVFrameParser* parser) {
  return parser != nullptr && !parser->buffer.empty();
}

void zv_frame_destroy(ZVFrameParser* parser) { std::unique_ptr<ZVFrameParser> owned(parser); }

arrow::Result<std::vector<uint8_t>> zv_frame_encode(uint8_t type, const uint8_t* payload,
                                                    size_t count) {
  if (count > std::numeric_limits<uint32_t>::max()) {
    return arrow::Status::Invalid("frame payload of ", count,
                                  " bytes does not fit the 32-bit length field");
  }
  if (payload == nullptr && count > 0) return arrow::Status::Invalid("frame payload is null");
  std::vector<uint8_t> frame;
  frame.reserve(kZvFrameHeaderSize + count);
  const auto length = static_cast<uint32_t>(count);
  frame.insert(frame.end(), {type, 0, 0, 0, static_cast<uint8_t>(length >> 24),
                             static_cast<uint8_t>(length >> 16),
                             static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  if (count > 0) frame.insert(frame.end(), payload, payload + count);
  return frame;
}
