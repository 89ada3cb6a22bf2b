#include "snapshot/snapshot_install.h"

#include "diagnostics/log.h"
#include "snapshot/catalog_version_internal.h"
#include "snapshot/snapshot_cache.h"
#include "snapshot/snapshot_decode_internal.h"
#include "snapshot/snapshot_fetch_gate.h"
#include "snapshot/snapshot_fetch_internal.h"
#include "snapshot/snapshot_poller_internal.h"
#include "transport/transport_connection.h"
#include "util/clock.h"
#include "util/format.h"

namespace zv {

namespace {

// Slots in order; the first that does not decode (its reason is logged)
// fails the whole snapshot, so no connection sees a partial catalog.
arrow::Result<SnapshotSlots> DecodeSlots(const ZVSnapshot& raw) {
  SnapshotSlots slots;
  for (int slot = 0; slot < kSnapshotSlotCount; ++slot) {
    const auto& buffer = raw.buffers[slot];
    slots[slot] = buffer ? zv_snapshot_decode_slot(buffer->data(), buffer->size(), slot) : nullptr;
    if (slots[slot] == nullptr) {
      return arrow::Status::IOError(Format("snapshot RS %d could not be decoded", slot));
    }
  }
  return slots;
}

arrow::Result<SnapshotSlots> FetchDecoded(const zv_conn* transport, uint64_t* epoch,
                                          HttpRequest::AbortCheck abort = {}) {
  arrow::Result<ZVSnapshot> raw = zv_fetch_snapshot(transport, std::move(abort));
  if (!raw.ok()) {
    ZV_LOG(kLogError, "info_schema", "snapshot fetch failed: %s", raw.status().message().c_str());
    return raw.status();
  }
  arrow::Result<SnapshotSlots> decoded = DecodeSlots(*raw);
  *epoch = raw->epoch;
  *raw = ZVSnapshot();  // the raw streams are not needed once decoded
  return decoded;
}

// Keyed on who actually authenticated, never on the user name option alone:
// a connection holding someone else's name but not their credentials must
// not read their catalog.
std::string CacheKey(const zv_conn* transport, const char* control_plane_url) {
  return SnapshotCache::Key(control_plane_url, transport->auth_identity.c_str());
}

// Fetches, decodes and caches a snapshot, and starts the poller; the store is
// the caller's to fill. `fetched_at` is when the fetch began: the snapshot is
// at least as current as that.
struct FetchedSnapshot {
  SnapshotSlots slots;
  uint64_t epoch = 0;
  int64_t fetched_at_ns = 0;
};

arrow::Result<FetchedSnapshot> FetchAndCache(const zv_conn* transport, const std::string& key,
                                             const char* username,
                                             HttpRequest::AbortCheck abort = {}) {
  // A change made by this process while the fetch runs must not leave the
  // older snapshot in the cache for the next connection.
  const uint64_t generation = SnapshotCache::Generation();
  FetchedSnapshot fetched;
  fetched.fetched_at_ns = MonotonicNanos();
  ARROW_ASSIGN_OR_RAISE(fetched.slots, FetchDecoded(transport, &fetched.epoch, std::move(abort)));

  SnapshotCacheEntry entry;
  entry.slots = fetched.slots;
  entry.epoch = fetched.epoch;
  entry.fetched_at_ns = fetched.fetched_at_ns;
  entry.user = username != nullptr ? username : "";
  entry.origin.control_plane_url = transport->control_plane_url;
  entry.origin.session_token = transport->session_token.Copy();
  entry.origin.tls = transport->tls;
  entry.origin.options = transport->options;
  SnapshotCache::Store(key, std::move(entry), generation);

  // Every fresh fetch starts the poller, cached or not; it stays idle while
  // the cache is empty.
  zv_snapshot_poller_start();
  return fetched;
}

bool InstallCached(const std::string& key, ZVSnapshotStore* store, const char* username) {
  std::optional<CachedSnapshot> cached = SnapshotCache::Lookup(key);
  if (!cached) return false;
  store->Install(cached->slots, cached->epoch, cached->stored_at_ns);
  ZV_LOG(kLogInfo, "info_schema",
         "reused cached snapshot (epoch=%llu) for %s (skipping snapshot fetch)",
         static_cast<unsigned long long>(cached->epoch),
         username != nullptr && *username != '\0' ? username : "(token)");
  return true;
}

}  // namespace

arrow::Status zv_snapshot_install(const zv_conn* transport, ZVSnapshotStore* store,
                                  const char* control_plane_url, const char* username) {
  if (transport == nullptr || store == nullptr) {
    return arrow::Status::Invalid("zv_snapshot_install: NULL argument");
  }
  const std::string key = CacheKey(transport, control_plane_url);
  if (InstallCached(key, store, username)) return arrow::Status::OK();
  SnapshotFetchGate gate(key);
  if (!gate.leads()) {
    // Another connection was fetching this very snapshot: its outcome is ours.
    ARROW_RETURN_NOT_OK(gate.Wait());
    // Fetched but not kept (this process changed the catalog meanwhile):
    // this connection fetches its own.
    if (InstallCached(key, store, username)) return arrow::Status::OK();
  }
  arrow::Result<FetchedSnapshot> result = FetchAndCache(transport, key, username);
  gate.Finish(result.status());
  ARROW_ASSIGN_OR_RAISE(FetchedSnapshot fetched, std::move(result));
  store->Install(fetched.slots, fetched.epoch, fetched.fetched_at_ns);
  ZV_LOG(kLogInfo, "info_schema", "installed snapshot (epoch=%llu)",
         static_cast<unsigned long long>(fetched.epoch));
  return arrow::Status::OK();
}

arrow::Status zv_snapshot_bring_current(const zv_conn* transport, ZVSnapshotStore* store,
                                        const char* control_plane_url, const char* username,
                                        ConfirmedVersion version, HttpRequest::AbortCheck abort,
                                        bool* reloaded) {
  *reloaded = false;
  if (transport == nullptr || store == nullptr) {
    return arrow::Status::Invalid("zv_snapshot_bring_current: NULL argument");
  }
  if (store->MarkCurrent(version.sequence, version.confirmed_at_ns)) return arrow::Status::OK();
  const uint64_t installed = store->stamp().epoch;
  const std::string key = CacheKey(transport, control_plane_url);
  // Another connection may have fetched this very epoch already.
  std::optional<CachedSnapshot> cached = SnapshotCache::Lookup(key);
  if (cached && cached->epoch == version.sequence) {
    store->Install(cached->slots, cached->epoch, version.confirmed_at_ns);
  } else {
    ARROW_ASSIGN_OR_RAISE(FetchedSnapshot fetched,
                          FetchAndCache(transport, key, username, std::move(abort)));
    store->Install(fetched.slots, fetched.epoch, fetched.fetched_at_ns);
  }
  *reloaded = true;
  const uint64_t epoch = store->stamp().epoch;
  ZV_LOG(kLogInfo, "info_schema", "catalog moved (epoch %llu -> %llu); %s snapshot installed",
         static_cast<unsigned long long>(installed), static_cast<unsigned long long>(epoch),
         cached && cached->epoch == version.sequence ? "cached" : "fetched");
  return arrow::Status::OK();
}

}  // namespace zv
