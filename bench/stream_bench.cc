// Throughput of the frame parser and of Arrow IPC payload decoding. Each is
// measured beside a memcpy of the same bytes in the same run: the parser on
// whole frames should run far above memcpy speed (it copies nothing), on split
// frames near it (one copy), and decoding near it (one copy plus Arrow's
// message parsing).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <arrow/api.h>

#include "stream/frame.h"
#include "stream/ipc_decode.h"
#include "stream/ipc_test_streams.h"

namespace {

constexpr size_t kStreamBytes = 8u << 20;
constexpr size_t kBatchPayloadBytes = 256u << 10;

// Back-to-back BATCH frames of kBatchPayloadBytes, about kStreamBytes in all.
const std::vector<uint8_t>& FrameStream() {
  static const std::vector<uint8_t> stream = [] {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> payload(kBatchPayloadBytes);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31);
    while (bytes.size() < kStreamBytes) {
      auto frame =
          zv::zv_frame_encode(zv::kZvFrameBatch, payload.data(), payload.size()).ValueOrDie();
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
  }();
  return stream;
}

// Reads one byte of each payload so the frame cannot be optimised away, the
// way a real handler reads the batch header.
int CountFrame(uint8_t type, const uint8_t* payload, uint64_t length, void* context) {
  *static_cast<uint64_t*>(context) += length + (length > 0 ? payload[0] : 0);
  return 0;
}

void ParseInChunks(benchmark::State& state, size_t chunk) {
  const std::vector<uint8_t>& stream = FrameStream();
  uint64_t seen = 0;
  for (auto _ : state) {
    zv::ZVFrameParserPtr parser = zv::zv_frame_create(&CountFrame, &seen);
    for (size_t at = 0; at < stream.size(); at += chunk) {
      zv::zv_frame_feed(parser.get(), stream.data() + at, std::min(chunk, stream.size() - at));
    }
    benchmark::DoNotOptimize(seen);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_FrameParseWholeStream(benchmark::State& state) {
  ParseInChunks(state, FrameStream().size());
}
BENCHMARK(BM_FrameParseWholeStream);

void BM_FrameParseChunked(benchmark::State& state) {
  ParseInChunks(state, static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_FrameParseChunked)->RangeMultiplier(16)->Range(1, 64 << 10);

// Baseline: copying the stream in the same chunking into one frame-sized
// buffer that is reused, as the parser reuses its own: the least a parser that
// copies every frame once can cost.
void BM_MemcpyChunked(benchmark::State& state) {
  const std::vector<uint8_t>& stream = FrameStream();
  const size_t chunk = static_cast<size_t>(state.range(0));
  const size_t frame_size = zv::kZvFrameHeaderSize + kBatchPayloadBytes;
  std::vector<uint8_t> target(frame_size);
  for (auto _ : state) {
    // A chunk that crosses a frame boundary is copied in two pieces, as the
    // parser does.
    for (size_t at = 0; at < stream.size();) {
      const size_t offset = at % frame_size;
      const size_t count = std::min({chunk, stream.size() - at, frame_size - offset});
      std::memcpy(target.data() + offset, stream.data() + at, count);
      at += count;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyChunked)->RangeMultiplier(16)->Range(1, 64 << 10);

// One BATCH payload of `rows` rows (int64 and utf8 columns).
std::vector<uint8_t> IpcPayload(int64_t rows) {
  auto batch = zv_test::SampleBatch(rows);
  return zv_test::WriteIpcStream(batch->schema(), {batch});
}

void BM_IpcDecode(benchmark::State& state) {
  const std::vector<uint8_t> payload = IpcPayload(state.range(0));
  for (auto _ : state) {
    auto decoded = zv::zv_ipc_decode(payload.data(), payload.size());
    if (!decoded.ok()) state.SkipWithError(decoded.status().ToString().c_str());
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_IpcDecode)->Arg(1000)->Arg(100000)->Arg(1000000);

// The share of decoding spent validating what arrived (Arrow's full
// validation of every buffer, offset and length).
void BM_ValidateReceivedBatch(benchmark::State& state) {
  auto batch = zv_test::SampleBatch(state.range(0));
  const std::vector<uint8_t> payload = IpcPayload(state.range(0));
  for (auto _ : state) {
    arrow::Status valid = zv::zv_validate_received_batch(*batch);
    if (!valid.ok()) state.SkipWithError(valid.ToString().c_str());
    benchmark::DoNotOptimize(valid);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_ValidateReceivedBatch)->Arg(1000)->Arg(100000)->Arg(1000000);

// Text and decimals nested in lists and structs, `rows` rows: the received
// batch's checks beside Arrow's full validation (which adds the UTF-8 and
// precision scans) of the same batch.
std::shared_ptr<arrow::RecordBatch> NestedBatch(int64_t rows) {
  arrow::StringBuilder text;
  arrow::Decimal128Builder decimals(arrow::decimal128(12, 2));
  for (int64_t i = 0; i < 2 * rows; ++i) {
    (void)text.Append("item-" + std::to_string(i % 10007));
    (void)decimals.Append(arrow::Decimal128(i % 100000000));
  }
  std::shared_ptr<arrow::Array> text_values = text.Finish().ValueOrDie();
  std::shared_ptr<arrow::Array> decimal_values = decimals.Finish().ValueOrDie();
  arrow::Int32Builder offsets;
  for (int64_t i = 0; i <= rows; ++i) (void)offsets.Append(static_cast<int32_t>(2 * i));
  std::shared_ptr<arrow::Array> list_offsets = offsets.Finish().ValueOrDie();
  auto lists = arrow::ListArray::FromArrays(*list_offsets, *text_values).ValueOrDie();
  auto records = arrow::StructArray::Make({decimal_values->Slice(0, rows)}, {"d"}).ValueOrDie();
  return arrow::RecordBatch::Make(
      arrow::schema({arrow::field("texts", lists->type()), arrow::field("rec", records->type())}),
      rows, {lists, records});
}

void BM_ValidateReceivedNestedBatch(benchmark::State& state) {
  auto batch = NestedBatch(state.range(0));
  for (auto _ : state) {
    arrow::Status valid = zv::zv_validate_received_batch(*batch);
    if (!valid.ok()) state.SkipWithError(valid.ToString().c_str());
    benchmark::DoNotOptimize(valid);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ValidateReceivedNestedBatch)->Arg(100000);

void BM_ArrowFullValidationNestedBatch(benchmark::State& state) {
  auto batch = NestedBatch(state.range(0));
  for (auto _ : state) {
    arrow::Status valid = batch->ValidateFull();
    if (!valid.ok()) state.SkipWithError(valid.ToString().c_str());
    benchmark::DoNotOptimize(valid);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ArrowFullValidationNestedBatch)->Arg(100000);

void BM_IpcMemcpyBaseline(benchmark::State& state) {
  const std::vector<uint8_t> payload = IpcPayload(state.range(0));
  std::vector<uint8_t> target(payload.size());
  for (auto _ : state) {
    std::memcpy(target.data(), payload.data(), payload.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.counters["payload_bytes"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_IpcMemcpyBaseline)->Arg(1000)->Arg(100000)->Arg(1000000);

}  // namespace

BENCHMARK_MAIN();
