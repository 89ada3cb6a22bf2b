#pragma once

#include <arrow/status.h>

#include "snapshot/snapshot_store.h"

namespace zv {

struct zv_conn;

// Fills a new connection's store with the catalog snapshot: from the process
// cache when an entry for (control_plane_url, username) is at most 300 s old,
// else fetched and decoded, then cached and the poller started. On failure
// (logged) nothing is installed or cached and the store stays empty; the
// connection is usable either way. `username` may be null.
arrow::Status zv_snapshot_install(const zv_conn* transport, ZVSnapshotStore* store,
                                  const char* control_plane_url, const char* username);

// Replaces the store's snapshot with one fetched now, when the control plane's
// catalog version differs from the installed epoch (or cannot be read). Used
// after this connection may have changed the catalog; the process cache is not
// consulted, since it may predate the change. Sets *reloaded (when given) to
// whether a new snapshot was installed. On failure the old one stays.
arrow::Status zv_snapshot_reload_if_moved(const zv_conn* transport, ZVSnapshotStore* store,
                                          bool* reloaded);

}  // namespace zv
