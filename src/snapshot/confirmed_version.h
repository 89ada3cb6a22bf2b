// What this process last learned of each control plane's catalog version, so
// that connections confirming their snapshots share one version request per
// bound instead of sending one each.
#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <functional>
#include <string>

namespace zv {

struct zv_conn;

struct ConfirmedVersion {
  uint64_t sequence = 0;
  int64_t confirmed_at_ns = 0;  // monotonic clock: when the control plane said so
};

// Asks the control plane of `transport` for its catalog sequence. Injected by
// tests; the default sends GET /api/v1/events/version with the connection's
// token, TLS policy and options (renewing a refused token once) under a short
// time limit, so that a stalled control plane delays an answer by seconds at
// most.
using VersionFetcher = std::function<arrow::Result<uint64_t>(zv_conn& transport)>;

class ConfirmedCatalogVersion {
 public:
  // A version request is abandoned after this long: a catalog answer must not
  // wait on a stalled control plane for the connection's whole time-out.
  static constexpr long kRequestTimeoutSec = 2;

  // The sequence of `transport`'s control plane, confirmed at most
  // `max_age_ns` ago: the last confirmation when it is recent enough, else
  // one request, which callers arriving while it runs wait for and share.
  // `after_ns` (when non-zero) asks for a confirmation made at or after that
  // time, e.g. after a change this connection made. A failed request is
  // remembered for `max_age_ns` too: within that time callers get its error
  // without asking again.
  static arrow::Result<ConfirmedVersion> Confirm(zv_conn& transport, int64_t max_age_ns,
                                                 int64_t after_ns = 0);

  // A sequence learned elsewhere (the epoch poller, which asked for it at
  // `asked_at_ns`) serves as a confirmation.
  static void Note(const std::string& control_plane_url, uint64_t sequence, int64_t asked_at_ns);

  // The catalog changed through this process: no earlier confirmation holds.
  static void Forget();

  static void SetFetcherForTesting(VersionFetcher fetcher);  // empty: the default
};

}  // namespace zv
