// The process's one snapshot_poller thread: asks the control plane of a cached
// snapshot for the catalog version and empties the snapshot cache when the
// sequence changes. Stopped and joined when the library is unloaded or the
// process exits.
#pragma once

namespace zv {

// Starts the poller unless it runs already; true when it runs afterwards. A
// thread that cannot be started is logged at ERROR: cached snapshots then
// expire by age only, and a later call tries again.
//
// The interval is 60 s; the environment variable ZV_SNAPSHOT_POLL_INTERVAL_MS
// (a positive number of milliseconds, read when the thread starts) shortens it
// for tests.
bool zv_snapshot_poller_start();

// Makes the next start fail as if the system refused a new thread.
void SnapshotPollerFailNextStartForTesting();

}  // namespace zv
