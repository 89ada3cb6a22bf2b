// A connection's catalog answers follow the catalog. Before the snapshot
// answers (information_schema query, GetObjects, GetTableSchema), it is
// confirmed current when it was last confirmed longer ago than the
// connection's bound (adbc.zorvane.catalog_max_age_sec) or after a statement
// of this connection may have changed the catalog; when the catalog moved,
// the new snapshot is installed first.
#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <string_view>

namespace zv {

struct ZVConnection;

// How old a confirmation of the catalog may be before a catalog answer asks
// again, unless the connection sets its own bound.
inline constexpr uint32_t kDefaultCatalogMaxAgeSec = 5;

// False only for statements that read (SELECT, WITH-less queries, SHOW, ...);
// anything else may have changed the catalog.
bool MayChangeCatalog(std::string_view sql);

// A statement that may have changed the catalog ran on `conn`: its next
// catalog answer confirms the version afresh, and no connection of this
// process is handed a cached snapshot or confirmation from before the change.
void NoteCatalogChange(ZVConnection& conn);

// Before a catalog answer. True: the snapshot is current within the bound
// (costs nothing while the last confirmation is recent). False: the caller
// answers from compute, because there is no snapshot or the one installed is
// known to be behind and could not be replaced yet. A version check that
// fails keeps the snapshot answering (logged once, retried after the bound).
// Fails only when the connection is cancelled meanwhile (CANCELLED, 57014).
arrow::Result<bool> ConfirmCatalog(ZVConnection& conn);

// When a snapshot cannot be had (or replaced), the next attempt waits this
// long, so a failing endpoint is not asked on every call.
inline constexpr int kSnapshotRetrySeconds = 5;

// One attempt to install the snapshot now; a failure sets the time of the
// next attempt. True when a snapshot is installed.
bool TrySnapshot(ZVConnection& conn);

}  // namespace zv
