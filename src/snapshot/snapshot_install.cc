#include "snapshot/snapshot_install.h"

#include "diagnostics/log.h"
#include "snapshot/snapshot_cache.h"
#include "snapshot/snapshot_decode.h"
#include "snapshot/snapshot_fetch.h"
#include "snapshot/snapshot_poller.h"
#include "transport/transport_connection.h"
#include "util/format.h"

namespace zv {

namespace {

// Slots in order; the first that does not decode (its reason is logged)
// fails the whole snapshot, so no connection sees a partial catalog.
arrow::Result<SnapshotSlots> DecodeSlots(const ZVSnapshot& raw) {
  SnapshotSlots slots;
  for (int slot = 0; slot < kSnapshotSlotCount; ++slot) {
    const auto& buffer = raw.buffers[slot];
    slots[slot] = buffer ? zv_snapshot_decode_slot(buffer->data(), buffer->size(), slot)
                         : nullptr;
    if (slots[slot] == nullptr) {
      return arrow::Status::IOError(Format("snapshot RS %d could not be decoded", slot));
    }
  }
  return slots;
}

}  // namespace

arrow::Status zv_snapshot_install(const zv_conn* transport, ZVSnapshotStore* store,
                                  const char* control_plane_url, const char* username) {
  if (transport == nullptr || store == nullptr) {
    return arrow::Status::Invalid("zv_snapshot_install: NULL argument");
  }
  const std::string key = SnapshotCache::Key(control_plane_url, username);
  if (std::optional<CachedSnapshot> cached = SnapshotCache::Lookup(key)) {
    store->Install(cached->slots, cached->epoch);
    ZV_LOG(kLogInfo, "info_schema",
           "reused cached snapshot (epoch=%llu) for %s (skipping snapshot fetch)",
           static_cast<unsigned long long>(cached->epoch), username);
    return arrow::Status::OK();
  }

  arrow::Result<ZVSnapshot> raw = zv_fetch_snapshot(transport);
  if (!raw.ok()) {
    ZV_LOG(kLogError, "info_schema", "snapshot fetch failed: %s",
           raw.status().message().c_str());
    return raw.status();
  }
  arrow::Result<SnapshotSlots> decoded = DecodeSlots(*raw);
  const uint64_t epoch = raw->epoch;
  *raw = ZVSnapshot();  // the raw streams are not needed once decoded
  ARROW_RETURN_NOT_OK(decoded.status());

  SnapshotCacheEntry entry;
  entry.slots = *decoded;
  entry.epoch = epoch;
  entry.user = username != nullptr ? username : "";
  entry.origin.control_plane_url = transport->control_plane_url;
  entry.origin.session_token = transport->session_token.Copy();
  entry.origin.tls = transport->tls;
  entry.origin.options = transport->options;
  SnapshotCache::Store(key, std::move(entry));

  // Every fresh fetch starts the poller, cached or not; it stays idle while
  // the cache is empty.
  zv_snapshot_poller_start();

  store->Install(*decoded, epoch);
  ZV_LOG(kLogInfo, "info_schema", "installed snapshot (epoch=%llu)",
         static_cast<unsigned long long>(epoch));
  return arrow::Status::OK();
}

}  // namespace zv
