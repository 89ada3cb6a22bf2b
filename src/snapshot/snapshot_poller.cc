#include "snapshot/snapshot_poller_internal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "diagnostics/log.h"
#include "platform/resident_thread.h"
#include "snapshot/catalog_version_internal.h"
#include "snapshot/confirmed_version.h"
#include "util/clock.h"
#include "snapshot/snapshot_cache.h"
#include "transport/http_client.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultInterval{60000};

// Guarded by epoch_lock except `stop`, which is also read by the wait's
// predicate.
struct PollerState {
  std::mutex epoch_lock;
  std::condition_variable wake;
  std::atomic<bool> stop{false};
  bool started = false;
  bool fail_next_start = false;
  uint64_t last_sequence = 0;
  bool have_sequence = false;
  std::chrono::milliseconds interval = kDefaultInterval;
};

// Never destroyed: the thread object must not be destroyed while joinable
// (that terminates the process), and the mutex and condition variable must
// outlive the thread. Joining is the job of StopPollerAtExit below.
PollerState& State() {
  static NoDestructor<PollerState> state;
  return *state;
}

std::chrono::milliseconds IntervalFromEnvironment() {
  const char* text = std::getenv("ZV_SNAPSHOT_POLL_INTERVAL_MS");
  if (text == nullptr || *text == '\0') return kDefaultInterval;
  char* end = nullptr;
  errno = 0;
  const long long ms = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || ms <= 0) return kDefaultInterval;
  return std::chrono::milliseconds(ms);
}

long IntervalSeconds(const PollerState& st) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(st.interval).count());
}

void PollOnce(PollerState& st) {
  std::optional<EpochPollTarget> target = SnapshotCache::PollTarget();
  if (!target) return;  // nothing cached, nothing to invalidate
  // The settings of the connection that filled the entry, not defaults: a
  // control plane behind a private CA, client certificates or a proxy would
  // refuse every poll otherwise.
  const int64_t asked_at = MonotonicNanos();
  arrow::Result<ZVCatalogVersion> version =
      zv_route_fetch_epoch(target->control_plane_url.c_str(), target->session_token.c_str(),
                           &target->tls, &target->options, &st.stop);
  if (HttpStatusOf(version.status()) == 401) {
    // The token of the connection that filled the cache is no longer valid,
    // so no poll would succeed again and the cache would never learn of a
    // change: it is emptied, and the next connection fetches with its own
    // token, which the poller then uses.
    ZV_LOG(kLogInfo, "snapshot_poller",
           "epoch poll token was refused (HTTP 401); evicting snapshot cache");
    SnapshotCache::Clear();
    return;
  }
  if (!version.ok()) {
    const std::string& message = version.status().message();
    ZV_LOG(kLogDebug, "snapshot_poller", "epoch poll failed: %s (will retry in %lds)",
           message.empty() ? "unknown error" : message.c_str(), IntervalSeconds(st));
    return;
  }
  const unsigned long long sequence = version->sequence;
  // Serves as a confirmation for the connections of that control plane: one
  // whose snapshot is older reloads at its next catalog answer.
  ConfirmedCatalogVersion::Note(target->control_plane_url, sequence, asked_at);
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(st.epoch_lock);
    changed = st.have_sequence && st.last_sequence != sequence;
    st.last_sequence = sequence;
    st.have_sequence = true;
  }
  if (!changed) {
    ZV_LOG(kLogDebug, "snapshot_poller", "catalog epoch unchanged (seq=%llu)", sequence);
    return;
  }
  ZV_LOG(kLogInfo, "snapshot_poller", "catalog epoch changed (seq=%llu); evicting snapshot cache",
         sequence);
  SnapshotCache::Clear();
}

Clock::time_point DeadlineAfter(std::chrono::milliseconds interval) {
  const Clock::time_point now = Clock::now();
  const auto step = std::chrono::duration_cast<Clock::duration>(interval);
  return now > Clock::time_point::max() - step ? Clock::time_point::max() : now + step;
}

void PollerMain() {
  PollerState& st = State();
  for (;;) {
    if (st.stop.load()) {
      ZV_LOG(kLogDebug, "snapshot_poller", "thread exiting (stop requested)");
      return;
    }
    PollOnce(st);
    std::unique_lock<std::mutex> lock(st.epoch_lock);
    st.wake.wait_until(lock, DeadlineAfter(st.interval), [&] { return st.stop.load(); });
  }
}

// Called once, at exit or unload. Under the lock, so the wake-up cannot fall
// between the poller's check of the flag and its wait; a poll in flight
// watches the flag and is abandoned at once, so a stalled control plane
// cannot hold the exit up.
void RequestPollerStop() {
  PollerState& st = State();
  {
    std::lock_guard<std::mutex> lock(st.epoch_lock);
    st.stop.store(true);
  }
  st.wake.notify_all();
}

}  // namespace

bool zv_snapshot_poller_start() {
  PollerState& st = State();
  std::lock_guard<std::mutex> lock(st.epoch_lock);
  if (st.started) return true;
  st.stop.store(false);
  st.interval = IntervalFromEnvironment();
  try {
    if (st.fail_next_start) {
      st.fail_next_start = false;
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    // Created only once the thread runs, after the transport's global set-up, so
    // it is destroyed (and the thread joined) first.
    static ResidentThread thread;
    thread.Start("snapshot_poller", &PollerMain, &RequestPollerStop);
  } catch (const std::system_error& e) {
    ZV_LOG(kLogError, "snapshot_poller",
           "thread start failed: %s; cached snapshots expire by age only (300 s)", e.what());
    return false;
  }
  st.started = true;
  ZV_LOG(kLogInfo, "snapshot_poller", "started (interval=%lds, epoch-driven snapshot invalidation)",
         IntervalSeconds(st));
  return true;
}

void SnapshotPollerFailNextStartForTesting() {
  PollerState& st = State();
  std::lock_guard<std::mutex> lock(st.epoch_lock);
  st.fail_next_start = true;
}

}  // namespace zv
