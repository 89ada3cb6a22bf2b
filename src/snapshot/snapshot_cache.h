// The process-wide cache of decoded catalog snapshots, keyed by control plane
// and authenticated identity, so that hosts opening many connections in a row fetch once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/secret_string.h"
#include "snapshot/snapshot_slots_internal.h"
#include "transport/http_client.h"
#include "transport/tls_config.h"

namespace zv {

// How to reach the control plane an entry came from, with the settings of the
// connection that fetched it: the epoch poller asks that control plane for
// the catalog version, and a server that needs a CA bundle, client
// certificate or proxy would refuse a request made with defaults.
struct EpochPollTarget {
  std::string control_plane_url;
  SecretString session_token;
  zv_tls_config tls;
  zv_conn_options options;
};

struct SnapshotCacheEntry {
  SnapshotSlots slots;
  uint64_t epoch = 0;
  std::string user;
  EpochPollTarget origin;
  // Monotonic: when its fetch began, so when it was last known current (0:
  // when stored). A connection installing it later must not count it fresher.
  int64_t fetched_at_ns = 0;
};

struct CachedSnapshot {
  SnapshotSlots slots;
  uint64_t epoch = 0;
  int64_t stored_at_ns = 0;  // monotonic: when it was fetched, i.e. known current
};

class SnapshotCache {
 public:
  // Entries older than this are not used and are erased when looked up.
  static constexpr int64_t kMaxAgeNs = 300LL * 1000 * 1000 * 1000;

  // "<url>\x1f<identity>", or empty (never cached) unless both are non-empty.
  // `identity` names what authenticated the connection (zv_conn's
  // auth_identity), so only a connection holding the same credentials or the
  // same token shares an entry.
  static std::string Key(const char* control_plane_url, const char* identity);

  // The entry under `key` when it is at most kMaxAgeNs old. An empty key
  // misses.
  static std::optional<CachedSnapshot> Lookup(const std::string& key);

  // Stores (or replaces) the entry under `key`, stamped with its fetch. An empty key
  // stores nothing, and so does a `generation` (from Generation() before the
  // fetch) that Invalidate has since moved past: that snapshot may predate a
  // change this process made.
  static void Store(const std::string& key, SnapshotCacheEntry entry,
                    std::optional<uint64_t> generation = std::nullopt);

  // Forgets every entry; snapshots already installed in connections stay.
  static void Clear();

  // This process changed the catalog: forgets every entry and refuses the
  // stores of fetches that began before now.
  static void Invalidate();
  static uint64_t Generation();

  // The control plane of the first entry (in the map's order) that has both a
  // URL and a token.
  static std::optional<EpochPollTarget> PollTarget();

  static size_t SizeForTesting();
  static void AgeEntriesForTesting(int64_t seconds);
};

}  // namespace zv
