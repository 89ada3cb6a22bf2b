#pragma once

#include <arrow/status.h>

#include "snapshot/confirmed_version.h"
#include "snapshot/snapshot_store.h"
#include "transport/http_request.h"

namespace zv {

struct zv_conn;

// Fills a new connection's store with the catalog snapshot: from the process
// cache when an entry for (control_plane_url, username) is at most 300 s old
// (installed as known current when it was fetched), else fetched and decoded,
// then cached and the poller started; connections missing the cache together
// for one key share that fetch and its outcome. On failure (logged) nothing is
// installed or cached and the store stays empty; the connection is usable
// either way. `username` may be null.
arrow::Status zv_snapshot_install(const zv_conn* transport, ZVSnapshotStore* store,
                                  const char* control_plane_url, const char* username);

// Brings the store to the catalog `version` the control plane confirmed:
// marks the installed snapshot current when it is of that epoch; else
// installs the process cache's entry of exactly that epoch, or fetches one
// (which may be newer still) and caches it for the other connections. Sets
// *reloaded to whether another snapshot was installed. On failure the store
// keeps what it had. The fetch stops once `abort` returns true.
arrow::Status zv_snapshot_bring_current(const zv_conn* transport, ZVSnapshotStore* store,
                                        const char* control_plane_url, const char* username,
                                        ConfirmedVersion version, HttpRequest::AbortCheck abort,
                                        bool* reloaded);

}  // namespace zv
