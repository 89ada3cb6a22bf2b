#include "snapshot/snapshot_cache.h"

#include "util/clock.h"

#include <mutex>
#include <unordered_map>

#include "snapshot/snapshot_store.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

struct StoredEntry {
  SnapshotCacheEntry entry;
  int64_t stored_at_ns = 0;
};

struct CacheState {
  std::mutex mu;
  std::unordered_map<std::string, StoredEntry> entries;
  uint64_t generation = 0;
};

// Never destroyed: the poller thread may still clear the cache while static
// destructors run at exit.
CacheState& State() {
  static NoDestructor<CacheState> state;
  return *state;
}

}  // namespace

std::string SnapshotCache::Key(const char* control_plane_url, const char* identity) {
  if (control_plane_url == nullptr || identity == nullptr || !*control_plane_url || !*identity) {
    return {};
  }
  return std::string(control_plane_url) + '\x1f' + identity;
}

std::optional<CachedSnapshot> SnapshotCache::Lookup(const std::string& key) {
  if (key.empty()) return std::nullopt;
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  auto it = st.entries.find(key);
  if (it == st.entries.end()) return std::nullopt;
  if (MonotonicNanos() - it->second.stored_at_ns > kMaxAgeNs) {
    st.entries.erase(it);
    return std::nullopt;
  }
  return CachedSnapshot{it->second.entry.slots, it->second.entry.epoch, it->second.stored_at_ns};
}

void SnapshotCache::Store(const std::string& key, SnapshotCacheEntry entry,
                          std::optional<uint64_t> generation) {
  if (key.empty()) return;
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  if (generation && *generation != st.generation) return;
  StoredEntry& stored = st.entries[key];
  stored.stored_at_ns = entry.fetched_at_ns != 0 ? entry.fetched_at_ns : MonotonicNanos();
  stored.entry = std::move(entry);
}

void SnapshotCache::Clear() {
  CacheState& st = State();
  std::unordered_map<std::string, StoredEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(st.mu);
    dropped.swap(st.entries);
  }
  // The batches are freed here, outside the lock.
}

void SnapshotCache::Invalidate() {
  CacheState& st = State();
  std::unordered_map<std::string, StoredEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(st.mu);
    ++st.generation;
    dropped.swap(st.entries);
  }
}

uint64_t SnapshotCache::Generation() {
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  return st.generation;
}

std::optional<EpochPollTarget> SnapshotCache::PollTarget() {
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  for (const auto& [key, stored] : st.entries) {
    const EpochPollTarget& origin = stored.entry.origin;
    if (origin.control_plane_url.empty() || origin.session_token.empty()) continue;
    EpochPollTarget target;
    target.control_plane_url = origin.control_plane_url;
    target.session_token = origin.session_token.Copy();
    target.tls = origin.tls;
    target.options = origin.options;
    return target;
  }
  return std::nullopt;
}

size_t SnapshotCache::SizeForTesting() {
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  return st.entries.size();
}

void SnapshotCache::AgeEntriesForTesting(int64_t seconds) {
  CacheState& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  for (auto& [key, stored] : st.entries) stored.stored_at_ns -= seconds * 1000000000LL;
}

}  // namespace zv
