#include "snapshot/confirmed_version.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "snapshot/catalog_version_internal.h"
#include "transport/transport_connection.h"
#include "util/clock.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

// One control plane's latest reading. `in_flight` is set while one caller's
// request runs; the others wait on the state's condition variable.
struct Reading {
  ConfirmedVersion confirmed;
  bool have_confirmed = false;
  arrow::Status last_failure;
  int64_t failed_at_ns = 0;
  bool in_flight = false;
};

struct State {
  std::mutex mu;
  std::condition_variable done;
  std::unordered_map<std::string, Reading> readings;
  VersionFetcher fetcher;
};

// Never destroyed: connections may confirm while static destructors run.
State& GetState() {
  static NoDestructor<State> state;
  return *state;
}

arrow::Result<uint64_t> FetchOnce(zv_conn& transport) {
  zv_conn_options options = transport.options;
  if (options.connect_timeout_sec <= 0 ||
      options.connect_timeout_sec > ConfirmedCatalogVersion::kRequestTimeoutSec) {
    options.connect_timeout_sec = ConfirmedCatalogVersion::kRequestTimeoutSec;
  }
  const SecretString token = transport.session_token.Copy();
  arrow::Result<ZVCatalogVersion> version = zv_route_fetch_epoch(
      transport.control_plane_url.c_str(), token.c_str(), &transport.tls, &options);
  if (HttpStatusOf(version.status()) == 401) {
    // An idle connection's token may have expired while only catalog answers
    // were asked of it: renew it as a query would, and ask once more.
    ARROW_RETURN_NOT_OK(zv_refresh_session_token(&transport, token, version.status().message()));
    const SecretString renewed = transport.session_token.Copy();
    version = zv_route_fetch_epoch(transport.control_plane_url.c_str(), renewed.c_str(),
                                   &transport.tls, &options);
  }
  ARROW_RETURN_NOT_OK(version.status());
  // A counter the answer lacks reads as 0, which confirms nothing.
  if (version->sequence == 0) {
    return arrow::Status::IOError("catalog version answer carries no sequence");
  }
  return version->sequence;
}

}  // namespace

arrow::Result<ConfirmedVersion> ConfirmedCatalogVersion::Confirm(zv_conn& transport,
                                                                 int64_t max_age_ns,
                                                                 int64_t after_ns) {
  State& st = GetState();
  const int64_t called_at = MonotonicNanos();
  // Good enough: made at or after `after_ns`, and either recent or begun
  // while this call waited (which serves even a bound of 0).
  auto serves = [&](int64_t at_ns) {
    return at_ns != 0 && at_ns >= after_ns &&
           (at_ns >= called_at || MonotonicNanos() - at_ns <= max_age_ns);
  };
  std::unique_lock<std::mutex> lock(st.mu);
  Reading& reading = st.readings[transport.control_plane_url];
  for (;;) {
    if (reading.have_confirmed && serves(reading.confirmed.confirmed_at_ns)) {
      return reading.confirmed;
    }
    if (!reading.last_failure.ok() && serves(reading.failed_at_ns)) return reading.last_failure;
    if (!reading.in_flight) break;
    st.done.wait(lock);
  }

  reading.in_flight = true;
  const int64_t started = MonotonicNanos();
  VersionFetcher fetcher = st.fetcher ? st.fetcher : VersionFetcher(&FetchOnce);
  lock.unlock();
  arrow::Result<uint64_t> sequence = fetcher(transport);
  lock.lock();
  reading.in_flight = false;
  st.done.notify_all();
  if (!sequence.ok()) {
    reading.last_failure = sequence.status();
    reading.failed_at_ns = std::max<int64_t>(started, 1);
    return sequence.status();
  }
  reading.last_failure = arrow::Status::OK();
  // Stamped with the request's start: the catalog may have moved while it ran.
  if (!reading.have_confirmed || reading.confirmed.confirmed_at_ns <= started) {
    reading.confirmed = {*sequence, std::max<int64_t>(started, 1)};
    reading.have_confirmed = true;
  }
  return ConfirmedVersion{*sequence, std::max<int64_t>(started, 1)};
}

void ConfirmedCatalogVersion::Note(const std::string& control_plane_url, uint64_t sequence,
                                   int64_t asked_at_ns) {
  if (sequence == 0) return;
  State& st = GetState();
  std::lock_guard<std::mutex> lock(st.mu);
  Reading& reading = st.readings[control_plane_url];
  // Like a confirmation of our own: dated when it was asked for, since a
  // change made here while the poll ran may be missing from it, and never
  // in place of a newer one.
  if (reading.have_confirmed && reading.confirmed.confirmed_at_ns > asked_at_ns) return;
  reading.confirmed = {sequence, std::max<int64_t>(asked_at_ns, 1)};
  reading.have_confirmed = true;
}

void ConfirmedCatalogVersion::Forget() {
  State& st = GetState();
  std::lock_guard<std::mutex> lock(st.mu);
  for (auto& [url, reading] : st.readings) {
    reading.have_confirmed = false;
    reading.last_failure = arrow::Status::OK();
  }
}

void ConfirmedCatalogVersion::SetFetcherForTesting(VersionFetcher fetcher) {
  State& st = GetState();
  std::lock_guard<std::mutex> lock(st.mu);
  st.fetcher = std::move(fetcher);
}

}  // namespace zv
