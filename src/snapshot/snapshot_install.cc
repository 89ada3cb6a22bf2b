#include "snapshot/snapshot_install.h"

#include "diagnostics/log.h"
#include "snapshot/catalog_version_internal.h"
#include "snapshot/snapshot_cache.h"
#include "snapshot/snapshot_decode_internal.h"
#include "snapshot/snapshot_fetch_internal.h"
#include "snapshot/snapshot_poller_internal.h"
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

arrow::Result<SnapshotSlots> FetchDecoded(const zv_conn* transport, uint64_t* epoch) {
  arrow::Result<ZVSnapshot> raw = zv_fetch_snapshot(transport);
  if (!raw.ok()) {
    ZV_LOG(kLogError, "info_schema", "snapshot fetch failed: %s",
           raw.status().message().c_str());
    return raw.status();
  }
  arrow::Result<SnapshotSlots> decoded = DecodeSlots(*raw);
  *epoch = raw->epoch;
  *raw = ZVSnapshot();  // the raw streams are not needed once decoded
  return decoded;
}

}  // namespace

arrow::Status zv_snapshot_install(const zv_conn* transport, ZVSnapshotStore* store,
                                  const char* control_plane_url, const char* username) {
  if (transport == nullptr || store == nullptr) {
    return arrow::Status::Invalid("zv_snapshot_install: NULL argument");
  }
  // Keyed on who actually authenticated, never on the user name option alone:
  // a connection holding someone else's name but not their credentials must
  // not read their catalog.
  const std::string key = SnapshotCache::Key(control_plane_url, transport->auth_identity.c_str());
  if (std::optional<CachedSnapshot> cached = SnapshotCache::Lookup(key)) {
    store->Install(cached->slots, cached->epoch);
    ZV_LOG(kLogInfo, "info_schema",
           "reused cached snapshot (epoch=%llu) for %s (skipping snapshot fetch)",
           static_cast<unsigned long long>(cached->epoch),
           username != nullptr && *username != '\0' ? username : "(token)");
    return arrow::Status::OK();
  }

  // A change made by this process while the fetch runs must not leave the
  // older snapshot in the cache for the next connection.
  const uint64_t generation = SnapshotCache::Generation();
  uint64_t epoch = 0;
  ARROW_ASSIGN_OR_RAISE(SnapshotSlots decoded, FetchDecoded(transport, &epoch));

  SnapshotCacheEntry entry;
  entry.slots = decoded;
  entry.epoch = epoch;
  entry.user = username != nullptr ? username : "";
  entry.origin.control_plane_url = transport->control_plane_url;
  entry.origin.session_token = transport->session_token.Copy();
  entry.origin.tls = transport->tls;
  entry.origin.options = transport->options;
  SnapshotCache::Store(key, std::move(entry), generation);

  // Every fresh fetch starts the poller, cached or not; it stays idle while
  // the cache is empty.
  zv_snapshot_poller_start();

  store->Install(decoded, epoch);
  ZV_LOG(kLogInfo, "info_schema", "installed snapshot (epoch=%llu)",
         static_cast<unsigned long long>(epoch));
  return arrow::Status::OK();
}

arrow::Status zv_snapshot_reload_if_moved(const zv_conn* transport, ZVSnapshotStore* store,
                                          bool* reloaded) {
  if (reloaded != nullptr) *reloaded = false;
  if (transport == nullptr || store == nullptr) {
    return arrow::Status::Invalid("zv_snapshot_reload_if_moved: NULL argument");
  }
  const uint64_t installed = store->Read().epoch;
  const SecretString token = transport->session_token.Copy();
  arrow::Result<ZVCatalogVersion> version =
      zv_route_fetch_epoch(transport->control_plane_url.c_str(), token.c_str(),
                           &transport->tls, &transport->options);
  if (version.ok() && installed != 0 && version->sequence == installed) return arrow::Status::OK();
  if (!version.ok()) {
    // Unknown is treated as moved: a needless fetch is cheaper than a stale answer.
    ZV_LOG(kLogDebug, "info_schema", "catalog version check failed (%s); fetching the snapshot",
           version.status().message().c_str());
  }
  uint64_t epoch = 0;
  ARROW_ASSIGN_OR_RAISE(SnapshotSlots decoded, FetchDecoded(transport, &epoch));
  store->Install(decoded, epoch);
  if (reloaded != nullptr) *reloaded = true;
  ZV_LOG(kLogInfo, "info_schema", "reloaded snapshot after a change on this connection (epoch=%llu)",
         static_cast<unsigned long long>(epoch));
  return arrow::Status::OK();
}

}  // namespace zv
