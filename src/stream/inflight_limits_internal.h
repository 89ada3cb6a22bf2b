#pragma once

#include <cstdint>
#include <optional>

namespace zv {

// Process-wide bounds of every query's batch queue, read once from
// ZV_MAX_INFLIGHT_BATCHES (0..1024, default 4; 0 = unbounded) and
// ZV_MAX_INFLIGHT_BYTES (default 0 = no byte budget).
struct InflightLimits {
  uint64_t max_batches;
  uint64_t max_bytes;
};
const InflightLimits& ProcessInflightLimits();

// Parsing rules, exposed for tests: a value counts when at least one digit
// was read.
std::optional<uint64_t> ParseInflightBatches(const char* text);
std::optional<uint64_t> ParseInflightBytes(const char* text);

}  // namespace zv
