#include "stream/inflight_limits_internal.h"

#include <cerrno>
#include <cstdlib>

namespace zv {

namespace {

constexpr uint64_t kDefaultMaxBatches = 4;
constexpr uint64_t kMaxBatchesCeiling = 1024;

std::optional<uint64_t> ParseLeadingUnsigned(const char* text) {
  if (text == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || errno == ERANGE) return std::nullopt;
  // strtoull accepts a minus sign and wraps the value; a limit is never negative.
  for (const char* p = text; p < end; ++p) {
    if (*p == '-') return std::nullopt;
  }
  return static_cast<uint64_t>(value);
}

}  // namespace

std::optional<uint64_t> ParseInflightBatches(const char* text) {
  auto value = ParseLeadingUnsigned(text);
  if (!value || *value > kMaxBatchesCeiling) return std::nullopt;
  return value;
}

std::optional<uint64_t> ParseInflightBytes(const char* text) { return ParseLeadingUnsigned(text); }

const InflightLimits& ProcessInflightLimits() {
  static const InflightLimits limits = [] {
    InflightLimits l{kDefaultMaxBatches, 0};
    if (auto v = ParseInflightBatches(std::getenv("ZV_MAX_INFLIGHT_BATCHES"))) l.max_batches = *v;
    if (auto v = ParseInflightBytes(std::getenv("ZV_MAX_INFLIGHT_BYTES"))) l.max_bytes = *v;
    return l;
  }();
  return limits;
}

}  // namespace zv
