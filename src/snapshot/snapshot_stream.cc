#include "snapshot/snapshot_stream_internal.h"

#include <cmath>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>

#include "stream/frame.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kBatchHeaderSize = 8;

// Any JSON number counts as an epoch; fractions are cut and values outside the
// unsigned range are clamped rather than converted with undefined behaviour.
uint64_t EpochFromNumber(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) return static_cast<uint64_t>(value.get<int64_t>());
  const double number = value.get<double>();
  if (!(number > 0)) return 0;  // also NaN
  if (number >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(number);
}

}  // namespace

int SnapshotStreamCollector::OnFrame(uint8_t type, const uint8_t* payload, uint64_t length,
                                     void* context) {
  auto* self = static_cast<SnapshotStreamCollector*>(context);
  switch (type) {
    case kZvFrameInit: return self->OnInit(payload, length);
    case kZvFrameBatch: return self->OnBatch(payload, length);
    case kZvFrameError: return self->OnError(payload, length);
    default: return 0;  // EOS, TRACE, STATS and unknown types carry nothing for the snapshot
  }
}

int SnapshotStreamCollector::Fail(std::string message) {
  error_ = Bounded(std::move(message), kSnapshotErrorBuffer);
  handler_failed_ = true;
  return 1;
}

int SnapshotStreamCollector::OnInit(const uint8_t* payload, uint64_t length) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(payload, payload + length);
  } catch (const nlohmann::json::exception& e) {
    return Fail(Format("snapshot INIT frame parse: %s", e.what()));
  }
  auto epoch = json.is_object() ? json.find("epoch") : json.end();
  if (epoch == json.end() || !epoch->is_number()) {
    return Fail("snapshot INIT frame missing 'epoch' field");
  }
  snapshot_.epoch = EpochFromNumber(*epoch);
  init_seen_ = true;
  return 0;
}

int SnapshotStreamCollector::OnBatch(const uint8_t* payload, uint64_t length) {
  if (length < kBatchHeaderSize) {
    return Fail(Format("snapshot BATCH frame truncated (len=%zu)", static_cast<size_t>(length)));
  }
  const uint32_t index = zv_read_be32(payload);
  if (index >= static_cast<uint32_t>(kSnapshotSlotCount)) {
    return Fail(Format("snapshot BATCH result_set_index %u out of range", index));
  }
  const uint8_t* data = payload + kBatchHeaderSize;
  try {
    // A later BATCH for the same slot replaces the earlier one.
    snapshot_.buffers[index].emplace(data, data + (length - kBatchHeaderSize));
  } catch (const std::bad_alloc&) {
    snapshot_.buffers[index].reset();
    return Fail("snapshot BATCH allocation failed");
  }
  return 0;
}

int SnapshotStreamCollector::OnError(const uint8_t* payload, uint64_t length) {
  server_error_ = true;
  auto json = nlohmann::json::parse(payload, payload + length, nullptr,
                                    /*allow_exceptions=*/false);
  if (json.is_discarded()) return Fail("snapshot server-side ERROR (malformed)");
  std::string message = "(unknown)";
  if (json.is_object()) {
    auto it = json.find("message");
    if (it != json.end() && it->is_string()) message = it->get<std::string>();
  }
  return Fail(Format("snapshot server-side ERROR: %s", message.c_str()));
}

arrow::Status SnapshotStreamCollector::Finish(bool partial_frame) {
  std::string message;
  if (partial_frame) {
    message = "snapshot transfer ended mid-frame (truncated)";
  } else if (server_error_) {
    message = error_;
  } else if (!init_seen_) {
    message = "snapshot stream missing INIT frame";
  } else {
    for (int slot = 0; slot < kSnapshotSlotCount; ++slot) {
      if (!snapshot_.buffers[slot]) {
        message = Format("snapshot result_set %d missing in stream", slot);
        break;
      }
    }
  }
  if (message.empty()) return arrow::Status::OK();
  Discard();
  return arrow::Status::IOError(Bounded(std::move(message), kSnapshotErrorBuffer));
}

void SnapshotStreamCollector::Discard() { snapshot_ = ZVSnapshot(); }

}  // namespace zv
