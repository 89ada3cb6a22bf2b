// The binary framing shared by the query stream, the catalog snapshot and the
// ingest upload: an 8-byte header (type, three reserved bytes, big-endian
// 32-bit payload length) followed by the payload, frames back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <arrow/buffer.h>

#include <arrow/result.h>

namespace zv {

enum ZVFrameType : uint8_t {
  kZvFrameInit = 1,
  kZvFrameBatch = 2,
  kZvFrameEos = 3,
  kZvFrameError = 4,
  kZvFrameTrace = 5,
  kZvFrameStats = 6,
};

inline constexpr size_t kZvFrameHeaderSize = 8;

// Every multi-byte field of the format (frame length, result-set index of
// BATCH, EOS and STATS headers) is an unsigned 32-bit big-endian number.
inline uint32_t zv_read_be32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}
// Largest payload a reader accepts; it bounds the memory one frame can claim.
inline constexpr uint64_t kZvMaxFramePayload = 268435456;  // 256 MiB

// Receives one complete frame. `payload` is valid only during the call (it may
// point straight into the caller's receive buffer); a handler that keeps data
// copies it. Returns 0 to continue, anything else to stop the transfer.
using zv_frame_handler = int (*)(uint8_t type, const uint8_t* payload, uint64_t length,
                                 void* context);

struct ZVFrameParser;
struct ZVFrameParserDeleter {
  void operator()(ZVFrameParser* parser) const;
};
using ZVFrameParserPtr = std::unique_ptr<ZVFrameParser, ZVFrameParserDeleter>;

// A parser for one transfer. `context` is borrowed and passed to every handler
// call. Returns null when memory is exhausted or the handler is null (callers
// report "zv_frame_create failed").
ZVFrameParserPtr zv_frame_create(zv_frame_handler handler, void* context);

// Consumes the next received chunk: dispatches every frame it completes and
// buffers a trailing partial frame. Returns 0 when all bytes were consumed, -1
// when a header announces more than kZvMaxFramePayload bytes (the partial frame
// is discarded), or the handler's non-zero result, in which case the bytes
// after that frame are left unconsumed. A null parser, null bytes or a count of
// 0 return 0 and change nothing. One thread per parser; no locking.
int zv_frame_feed(ZVFrameParser* parser, const uint8_t* bytes, size_t count);

// Where the next bytes of the stream belong while the parser is in the middle
// of a frame's payload, which it assembles in its own memory: the rest of that
// payload. A transport that receives bytes straight into this window and then
// calls zv_frame_received spares the copy zv_frame_feed makes. Empty while the
// next bytes are a frame header (or for a null parser).
std::span<uint8_t> zv_frame_receive_window(ZVFrameParser* parser);

// `count` bytes (at most the window's size) were written at the start of the
// window; delivers the frame once its payload is complete. Returns what
// zv_frame_feed would.
int zv_frame_received(ZVFrameParser* parser, size_t count);

// True while the buffer holds the start of an unfinished frame (header bytes
// included). After the transfer this means the body was truncated.
bool zv_frame_pending(const ZVFrameParser* parser);

// Called from inside a handler: takes ownership of the payload of the frame
// being delivered when the parser assembled it in its own pool memory (the
// frame straddled chunks), so the handler can keep it without copying. Null
// when the payload lies in the caller's chunk. The parser then assembles its
// next frame in a new buffer.
std::shared_ptr<arrow::Buffer> zv_frame_take_payload();

// Frees the parser; null is a no-op. ZVFrameParserPtr calls it.
void zv_frame_destroy(ZVFrameParser* parser);

// Builds one frame: type, three zero bytes, `count` as big-endian 32-bit, then
// the payload. Refuses a count that does not fit the 32-bit length field
// rather than writing a truncated length the receiver would misparse.
arrow::Result<std::vector<uint8_t>> zv_frame_encode(uint8_t type, const uint8_t* payload,
                                                    size_t count);

}  // namespace zv
