// libFuzzer targets for the stream building blocks, one per build of this file
// (bench/fuzz_stream.sh compiles it once per target):
//   ZV_FUZZ_FRAMES: the frame parser, fed whole and in a chunking derived from
//     the first byte; both runs must deliver the same frames and end the same
//     way;
//   ZV_FUZZ_BASE64: strict base64 decoding, checked against re-encoding;
//   ZV_FUZZ_IPC: Arrow IPC decoding and the INIT schema rule;
//   ZV_FUZZ_IPC_CORRUPT: structured corruption of valid streams (nested,
//     variable-length and dictionary columns): the input is a list of edits
//     that overwrite lengths, offsets and counts with telling values. Whatever
//     the decoder accepts must be valid and readable to the last value;
//   ZV_FUZZ_HTTP1: the HTTP/1.1 response reader of the direct exchange, fed
//     whole and in chunks with part of the body taken as received directly;
//     both runs must read the same body and end the same way.
// Every chunk is copied into an allocation of exactly its size, so a read past
// the end of a chunk is caught by AddressSanitizer.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_dict.h>
#include <arrow/array/builder_nested.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/memory_pool.h>
#include <arrow/pretty_print.h>
#include <arrow/record_batch.h>

#include <cstring>
#include <limits>
#include <sstream>

#include "diagnostics/log.h"
#include "stream/base64.h"
#include "stream/frame.h"
#include "stream/ipc_decode.h"
#include "transport/http1_response_internal.h"

namespace {

// A frame of this type makes the handler stop the transfer.
constexpr uint8_t kStopType = 0xEE;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

struct FrameLog {
  std::vector<std::pair<uint8_t, std::string>> frames;
};

int RecordFrame(uint8_t type, const uint8_t* payload, uint64_t length, void* context) {
  static_cast<FrameLog*>(context)->frames.emplace_back(
      type, std::string(reinterpret_cast<const char*>(payload), length));
  // Odd types take the assembled payload (when there is one), so both the
  // reuse of the parser's buffer and fresh buffers after a take get explored.
  if (type & 1) {
    if (std::shared_ptr<arrow::Buffer> taken = zv::zv_frame_take_payload()) {
      Check(static_cast<uint64_t>(taken->size()) == length);
      Check(length == 0 || std::equal(payload, payload + length, taken->data()));
    }
  }
  return type == kStopType ? 7 : 0;
}

struct FeedOutcome {
  FrameLog log;
  int result = 0;
  bool pending = false;
};

// Chunk sizes from a small xorshift generator; the seed's low bits choose how
// large chunks may grow, so both byte-by-byte and large chunks get explored.
FeedOutcome FeedInChunks(const uint8_t* data, size_t size, uint8_t seed) {
  static constexpr size_t kMaxChunk[] = {1, 3, 9, 64, 1024, 65536};
  const size_t max_chunk = kMaxChunk[seed % 6];
  uint32_t state = 0x9E3779B9u ^ seed;
  FeedOutcome outcome;
  zv::ZVFrameParserPtr parser = zv::zv_frame_create(&RecordFrame, &outcome.log);
  for (size_t at = 0; at < size;) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    const size_t chunk = std::min(size - at, 1 + state % max_chunk);
    auto copy = std::make_unique<uint8_t[]>(chunk);
    std::copy(data + at, data + at + chunk, copy.get());
    outcome.result = zv::zv_frame_feed(parser.get(), copy.get(), chunk);
    at += chunk;
    if (outcome.result != 0) break;
  }
  outcome.pending = zv::zv_frame_pending(parser.get());
  return outcome;
}

// A header announcing up to 256 MiB makes the parser reserve that much, which
// under AddressSanitizer costs tens of milliseconds per input and starves the
// search. Lengths between kFoldAbove and the ceiling are folded below
// kFoldAbove; lengths over the ceiling stay, since they allocate nothing. The
// unit tests cover the ceiling itself.
constexpr uint32_t kFoldAbove = 1u << 20;

std::vector<uint8_t> WithFoldedLengths(const uint8_t* data, size_t size) {
  std::vector<uint8_t> stream(data, data + size);
  for (size_t at = 0; at + zv::kZvFrameHeaderSize <= stream.size();) {
    uint8_t* field = stream.data() + at + 4;
    uint32_t length = (uint32_t{field[0]} << 24) | (uint32_t{field[1]} << 16) |
                      (uint32_t{field[2]} << 8) | field[3];
    if (length > zv::kZvMaxFramePayload) break;
    if (length > kFoldAbove) {
      length %= kFoldAbove;
      field[0] = 0;
      field[1] = static_cast<uint8_t>(length >> 16);
      field[2] = static_cast<uint8_t>(length >> 8);
      field[3] = static_cast<uint8_t>(length);
    }
    at += zv::kZvFrameHeaderSize + length;
  }
  return stream;
}

[[maybe_unused]] void FuzzFrames(const uint8_t* raw, size_t raw_size) {
  if (raw_size < 1) return;
  const uint8_t seed = raw[0];
  const std::vector<uint8_t> stream = WithFoldedLengths(raw + 1, raw_size - 1);
  const uint8_t* data = stream.data();
  const size_t size = stream.size();
  FeedOutcome whole;
  {
    zv::ZVFrameParserPtr parser = zv::zv_frame_create(&RecordFrame, &whole.log);
    auto copy = std::make_unique<uint8_t[]>(size);
    std::copy(data, data + size, copy.get());
    whole.result = zv::zv_frame_feed(parser.get(), copy.get(), size);
    whole.pending = zv::zv_frame_pending(parser.get());
  }
  const FeedOutcome chunked = FeedInChunks(data, size, seed);
  Check(whole.result == chunked.result);
  Check(whole.pending == chunked.pending);
  Check(whole.log.frames == chunked.log.frames);
  if (whole.result == 0) {
    // Re-encoding the delivered frames gives back the input up to the pending
    // tail, except for the reserved header bytes, which readers ignore.
    size_t at = 0;
    for (const auto& [type, payload] : whole.log.frames) {
      auto frame = zv::zv_frame_encode(type, reinterpret_cast<const uint8_t*>(payload.data()),
                                       payload.size());
      Check(frame.ok() && frame->size() <= size - at);
      Check((*frame)[0] == data[at]);
      Check(std::equal(frame->begin() + 4, frame->end(), data + at + 4));
      at += frame->size();
    }
    Check(whole.pending == (at < size));
  }
}

[[maybe_unused]] void FuzzBase64(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (std::optional<std::vector<uint8_t>> decoded = zv::zv_base64_decode(text)) {
    const std::string again = zv::zv_base64_encode(decoded->data(), decoded->size());
    Check(again.size() == text.size());
    Check(zv::zv_base64_decode(again) == decoded);
  }
  const std::string encoded = zv::zv_base64_encode(data, size);
  const auto round_trip = zv::zv_base64_decode(encoded);
  Check(size == 0 ? !round_trip.has_value()
                  : round_trip.has_value() &&
                        std::equal(round_trip->begin(), round_trip->end(), data, data + size));
}

[[maybe_unused]] void FuzzIpc(const uint8_t* data, size_t size) {
  // Arrow's pool is invisible to LeakSanitizer, so its balance is checked here.
  arrow::MemoryPool* pool = arrow::default_memory_pool();
  const int64_t pool_before = pool->bytes_allocated();
  {
    auto copy = std::make_unique<uint8_t[]>(size);
    std::copy(data, data + size, copy.get());
    auto decoded = zv::zv_ipc_decode(copy.get(), size);
    copy.reset();  // the result must not depend on the input any more
    if (decoded.ok()) {
      Check(decoded->schema != nullptr);
      // Touch every buffer the way a consumer would; an invalid batch is
      // Arrow's to report, but reading it must stay in bounds.
      for (const auto& batch : decoded->batches) (void)batch->ValidateFull();
    }
  }
  (void)zv::zv_decode_init_schema(std::string_view(reinterpret_cast<const char*>(data), size));
  Check(pool->bytes_allocated() == pool_before);
}

// Valid streams of one batch each (two for the last) that corruption starts
// from: lists and structs carry child counts and offsets, strings offsets,
// dictionaries indices into another buffer.
std::vector<std::vector<uint8_t>> ValidStreams() {
  std::vector<std::vector<uint8_t>> streams;
  auto write = [&](const std::shared_ptr<arrow::RecordBatch>& batch, int copies) {
    auto sink = arrow::io::BufferOutputStream::Create().ValueOrDie();
    auto writer = arrow::ipc::MakeStreamWriter(sink, batch->schema()).ValueOrDie();
    for (int i = 0; i < copies; ++i) Check(writer->WriteRecordBatch(*batch).ok());
    Check(writer->Close().ok());
    auto buffer = sink->Finish().ValueOrDie();
    streams.emplace_back(buffer->data(), buffer->data() + buffer->size());
  };
  arrow::StringBuilder strings;
  arrow::Int32Builder ints;
  for (int i = 0; i < 5; ++i) {
    Check(strings.Append("v" + std::to_string(i * 7)).ok());
    Check(i == 2 ? ints.AppendNull().ok() : ints.Append(i * 3).ok());
  }
  auto string_array = strings.Finish().ValueOrDie();
  auto int_array = ints.Finish().ValueOrDie();

  auto list_builder = std::make_shared<arrow::ListBuilder>(arrow::default_memory_pool(),
                                                           std::make_shared<arrow::Int32Builder>());
  auto* values = static_cast<arrow::Int32Builder*>(list_builder->value_builder());
  for (int i = 0; i < 5; ++i) {
    Check(list_builder->Append().ok());
    for (int j = 0; j < i; ++j) Check(values->Append(j).ok());
  }
  auto list_array = list_builder->Finish().ValueOrDie();
  auto struct_array = arrow::StructArray::Make(arrow::ArrayVector{int_array, string_array},
                                               std::vector<std::string>{"i", "s"})
                          .ValueOrDie();
  arrow::StringDictionaryBuilder dict;
  for (const char* v : {"a", "b", "a", "c", "b"}) Check(dict.Append(v).ok());
  auto dict_array = dict.Finish().ValueOrDie();

  auto make = [](std::vector<std::shared_ptr<arrow::Array>> columns) {
    arrow::FieldVector fields;
    for (size_t i = 0; i < columns.size(); ++i) {
      fields.push_back(arrow::field("c" + std::to_string(i), columns[i]->type()));
    }
    return arrow::RecordBatch::Make(arrow::schema(fields), 5, std::move(columns));
  };
  write(make({int_array, string_array}), 1);
  write(make({list_array}), 1);
  write(make({struct_array}), 1);
  write(make({dict_array}), 1);
  write(make({list_array, struct_array, string_array}), 2);
  return streams;
}

// Values that make lengths, offsets and counts go wrong in telling ways.
constexpr int64_t kTellingValues[] = {0,
                                      1,
                                      -1,
                                      2,
                                      3,
                                      4,
                                      5,
                                      6,
                                      7,
                                      8,
                                      12,
                                      16,
                                      64,
                                      1 << 20,
                                      std::numeric_limits<int32_t>::max(),
                                      std::numeric_limits<int32_t>::min(),
                                      std::numeric_limits<int64_t>::max(),
                                      std::numeric_limits<int64_t>::min()};

// Each edit is four input bytes: position (two bytes, taken modulo the
// stream's size), operation and argument.
std::vector<uint8_t> Corrupted(const uint8_t* data, size_t size) {
  static const std::vector<std::vector<uint8_t>> streams = ValidStreams();
  std::vector<uint8_t> bytes = streams[data[0] % streams.size()];
  for (size_t at = 1; at + 4 <= size && !bytes.empty(); at += 4) {
    const size_t pos = ((size_t{data[at]} << 8) | data[at + 1]) % bytes.size();
    const uint8_t op = data[at + 2] % 5;
    const uint8_t arg = data[at + 3];
    const int64_t telling = kTellingValues[arg % std::size(kTellingValues)];
    if (op == 0) {
      bytes[pos] = arg;
    } else if (op == 1 && pos + 4 <= bytes.size()) {
      const int32_t v = static_cast<int32_t>(telling);
      std::memcpy(bytes.data() + pos, &v, sizeof(v));
    } else if (op == 2 && pos + 8 <= bytes.size()) {
      std::memcpy(bytes.data() + pos, &telling, sizeof(telling));
    } else if (op == 3) {
      bytes[pos] = static_cast<uint8_t>(bytes[pos] + (arg & 1 ? 1 : -1));
    } else if (op == 4) {
      bytes.resize(pos);
    }
  }
  return bytes;
}

// A failure of Arrow's full validation that only a value scan reports.
bool IsValueCheck(const arrow::Status& status) {
  const std::string& message = status.message();
  return message.find("UTF8") != std::string::npos ||
         message.find("precision") != std::string::npos;
}

[[maybe_unused]] void FuzzCorruptIpc(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const std::vector<uint8_t> bytes = Corrupted(data, size);
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  auto decoded = zv::zv_ipc_decode(copy.get(), bytes.size());
  copy.reset();
  if (!decoded.ok()) return;
  for (const auto& batch : decoded->batches) {
    // Accepted means valid but for the value checks that protect no reader's
    // memory (text that is not UTF-8, decimals beyond their precision, which
    // reach the host as sent): a host may read every value without checking.
    const arrow::Status full = batch->ValidateFull();
    Check(full.ok() || IsValueCheck(full));
    std::ostringstream sink;
    (void)arrow::PrettyPrint(*batch, 0, &sink);
  }
}

struct Http1Outcome {
  std::string body;
  bool failed = false;
  bool complete = false;
  bool reusable = false;
};

// Reads `size` bytes of a response in chunks from the xorshift generator;
// with `direct`, body bytes the reader says may be received directly are
// taken that way (as the direct exchange does), the rest through Next.
Http1Outcome ReadHttp1(const uint8_t* data, size_t size, uint8_t seed, bool direct) {
  uint32_t state = 0x9E3779B9u ^ seed;
  Http1Outcome outcome;
  zv::Http1Response response;
  size_t at = 0;
  while (at < size && !response.complete()) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    size_t chunk = std::min(size - at, size_t{1} + state % (direct ? 97 : size));
    if (direct && response.data_ahead() > 0) {
      chunk = static_cast<size_t>(std::min<uint64_t>(chunk, response.data_ahead()));
      outcome.body.append(reinterpret_cast<const char*>(data + at), chunk);
      response.DataReceived(chunk);
      at += chunk;
      continue;
    }
    auto copy = std::make_unique<uint8_t[]>(chunk);
    std::copy(data + at, data + at + chunk, copy.get());
    zv::Http1Response::Bytes in(copy.get(), chunk);
    at += chunk;
    while (!in.empty() && !response.complete()) {
      auto piece = response.Next(in);
      if (!piece.ok()) {
        outcome.failed = true;
        return outcome;
      }
      Check(piece->size() <= chunk);
      outcome.body.append(reinterpret_cast<const char*>(piece->data()), piece->size());
    }
  }
  outcome.failed = !response.EndOfInput().ok();
  outcome.complete = response.complete();
  outcome.reusable = response.reusable();
  Check(!outcome.reusable || outcome.complete);
  return outcome;
}

[[maybe_unused]] void FuzzHttp1(const uint8_t* raw, size_t raw_size) {
  if (raw_size < 1) return;
  const Http1Outcome whole = ReadHttp1(raw + 1, raw_size - 1, raw[0], false);
  const Http1Outcome direct = ReadHttp1(raw + 1, raw_size - 1, raw[0], true);
  Check(whole.failed == direct.failed);
  if (whole.failed) return;
  Check(whole.body == direct.body && whole.complete == direct.complete &&
        whole.reusable == direct.reusable);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Logging at TRACE exercises the codec scan; lines go to a file the
  // fuzzing script names, never to the terminal.
  if (const char* path = std::getenv("ZV_FUZZ_LOG_PATH")) zv::zv_log_configure(path, zv::kLogTrace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(ZV_FUZZ_FRAMES)
  FuzzFrames(data, size);
#elif defined(ZV_FUZZ_BASE64)
  FuzzBase64(data, size);
#elif defined(ZV_FUZZ_IPC_CORRUPT)
  FuzzCorruptIpc(data, size);
#elif defined(ZV_FUZZ_IPC)
  FuzzIpc(data, size);
#elif defined(ZV_FUZZ_HTTP1)
  FuzzHttp1(data, size);
#else
#error "define ZV_FUZZ_FRAMES, ZV_FUZZ_BASE64, ZV_FUZZ_IPC, ZV_FUZZ_IPC_CORRUPT or ZV_FUZZ_HTTP1"
#endif
  return 0;
}
