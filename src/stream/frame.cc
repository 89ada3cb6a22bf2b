#include "stream/frame.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <vector>

#include <arrow/buffer.h>
#include <arrow/memory_pool.h>
#include <arrow/status.h>
#include <cstring>

namespace zv {

namespace {

using PayloadBuffer = std::unique_ptr<arrow::ResizableBuffer>;

// Payload buffers that a handler took and whose consumers have released them,
// kept for the parser's next cut frames. A fresh allocation of a frame's size
// is mapped anew and faulted in page by page (the kernel zeroing each page);
// a kept buffer has its pages already. Shared with the buffers handed out, so
// a consumer may release one after the parser is gone.
class PayloadRecycler {
 public:
  // A kept buffer of at least `capacity` bytes, or null.
  PayloadBuffer Take(int64_t capacity) {
    std::lock_guard lock(mutex_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if ((*it)->capacity() >= capacity) {
        PayloadBuffer buffer = std::move(*it);
        kept_.erase(it);
        return buffer;
      }
    }
    return nullptr;
  }

  // Keeps `buffer` unless enough are kept already (the memory a transfer holds
  // beyond its in-flight batches stays at two frames); frees it otherwise.
  void Give(PayloadBuffer buffer) {
    if (buffer->capacity() > kMaxKeptCapacity) return;
    std::lock_guard lock(mutex_);
    if (kept_.size() < kMaxKept) kept_.push_back(std::move(buffer));
  }

 private:
  static constexpr size_t kMaxKept = 2;
  static constexpr int64_t kMaxKeptCapacity = 32 * 1024 * 1024;
  std::mutex mutex_;
  std::vector<PayloadBuffer> kept_;
};

}  // namespace

struct ZVFrameParser {
  ZVFrameParser(zv_frame_handler handler, void* context)
      : handler(handler), context(context), recycler(std::make_shared<PayloadRecycler>()) {}

  zv_frame_handler handler;
  void* context;
  // A frame cut by the end of a chunk: its header, then its payload in pool
  // memory. The payload buffer is reused for the next cut frame unless the
  // handler took it (zv_frame_take_payload), so a consumer that keeps the
  // bytes gets them without a second copy; a taken buffer comes back through
  // the recycler once released.
  uint8_t header[kZvFrameHeaderSize] = {};
  size_t header_filled = 0;
  PayloadBuffer payload;
  size_t payload_filled = 0;
  std::shared_ptr<PayloadRecycler> recycler;
};

namespace {

using Bytes = std::span<const uint8_t>;

thread_local ZVFrameParser* t_delivering = nullptr;

// Delivers the assembled frame; the handler may take its payload buffer.
int DeliverAssembled(ZVFrameParser& parser) {
  const uint32_t length = zv_read_be32(parser.header + 4);
  const uint8_t* data = length > 0 ? parser.payload->data() : nullptr;
  t_delivering = &parser;
  const int result = parser.handler(parser.header[0], data, length, parser.context);
  t_delivering = nullptr;
  parser.header_filled = 0;
  parser.payload_filled = 0;
  return result;
}

// Prepares pool memory for a payload of `length` bytes.
bool ReservePayload(ZVFrameParser& parser, uint32_t length) {
  if (!parser.payload || parser.payload->capacity() < static_cast<int64_t>(length)) {
    if (PayloadBuffer kept = parser.recycler->Take(length)) parser.payload = std::move(kept);
  }
  if (parser.payload && parser.payload->capacity() >= static_cast<int64_t>(length)) {
    return parser.payload->Resize(length, /*shrink_to_fit=*/false).ok();
  }
  // Room for an eighth more, so that a later frame of a slightly larger batch
  // still fits a kept buffer.
  auto allocated = arrow::AllocateResizableBuffer(length + length / 8);
  if (!allocated.ok()) return false;
  parser.payload = std::move(*allocated);
  return parser.payload->Resize(length, /*shrink_to_fit=*/false).ok();
}

int FeedOnce(ZVFrameParser& parser, Bytes& rest) {
  if (parser.header_filled == 0 && rest.size() >= kZvFrameHeaderSize) {
    const uint32_t length = zv_read_be32(rest.data() + 4);
    if (length > kZvMaxFramePayload) return -1;
    const size_t frame_size = kZvFrameHeaderSize + size_t{length};
    if (rest.size() >= frame_size) {
      // Whole frame in this chunk: straight from the caller's memory.
      const uint8_t type = rest[0];
      const uint8_t* payload = rest.data() + kZvFrameHeaderSize;
      rest = rest.subspan(frame_size);
      return parser.handler(type, payload, length, parser.context);
    }
  }
  if (parser.header_filled < kZvFrameHeaderSize) {
    const size_t take = std::min(rest.size(), kZvFrameHeaderSize - parser.header_filled);
    std::memcpy(parser.header + parser.header_filled, rest.data(), take);
    parser.header_filled += take;
    rest = rest.subspan(take);
    if (parser.header_filled < kZvFrameHeaderSize) return 0;
    const uint32_t length = zv_read_be32(parser.header + 4);
    if (length > kZvMaxFramePayload || !ReservePayload(parser, length)) {
      parser.header_filled = 0;
      return -1;
    }
  }
  const size_t length = zv_read_be32(parser.header + 4);
  const size_t take = std::min(rest.size(), length - parser.payload_filled);
  if (take > 0) {
    std::memcpy(parser.payload->mutable_data() + parser.payload_filled, rest.data(), take);
    parser.payload_filled += take;
    rest = rest.subspan(take);
  }
  if (parser.payload_filled < length) return 0;
  return DeliverAssembled(parser);
}

}  // namespace

std::shared_ptr<arrow::Buffer> zv_frame_take_payload() {
  ZVFrameParser* parser = t_delivering;
  if (parser == nullptr || !parser->payload) return nullptr;
  std::shared_ptr<arrow::Buffer> taken(
      parser->payload.release(),
      [recycler = std::weak_ptr<PayloadRecycler>(parser->recycler)](arrow::ResizableBuffer* raw) {
        PayloadBuffer released(raw);
        if (auto alive = recycler.lock()) alive->Give(std::move(released));
      });
  return arrow::SliceBuffer(taken, 0, zv_read_be32(parser->header + 4));
}

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
    const int result = FeedOnce(*parser, rest);
    if (result != 0) return result;
  }
  return 0;
}

std::span<uint8_t> zv_frame_receive_window(ZVFrameParser* parser) {
  if (parser == nullptr || parser->header_filled < kZvFrameHeaderSize) return {};
  const size_t length = zv_read_be32(parser->header + 4);
  return {parser->payload->mutable_data() + parser->payload_filled,
          length - parser->payload_filled};
}

int zv_frame_received(ZVFrameParser* parser, size_t count) {
  if (parser == nullptr || parser->header_filled < kZvFrameHeaderSize) return 0;
  const size_t length = zv_read_be32(parser->header + 4);
  parser->payload_filled += std::min(count, length - parser->payload_filled);
  if (parser->payload_filled < length) return 0;
  return DeliverAssembled(*parser);
}

bool zv_frame_pending(const ZVFrameParser* parser) {
  return parser != nullptr && parser->header_filled > 0;
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
                             static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length)});
  if (count > 0) frame.insert(frame.end(), payload, payload + count);
  return frame;
}

}  // namespace zv
