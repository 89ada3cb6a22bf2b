// A connection sees its own catalog changes: statements that may have changed
// the catalog mark the connection, and its next catalog answer first checks
// the catalog version and reloads the snapshot when it moved.
#pragma once

#include <string_view>

namespace zv {

struct ZVConnection;

// False only for statements that read (SELECT, WITH-less queries, SHOW, ...);
// anything else may have changed the catalog.
bool MayChangeCatalog(std::string_view sql);

// A statement that may have changed the catalog ran on `conn`: its next
// catalog answer checks the version, and no connection of this process is
// handed a cached snapshot from before the change.
void NoteCatalogChange(ZVConnection& conn);

// Before a catalog answer (information_schema query, GetObjects,
// GetTableSchema). Does nothing, and costs nothing, unless a change was
// noted; then one version check, and a reload when the version moved.
// Failures are logged and the check is retried on the next answer.
void RefreshCatalogIfChanged(ZVConnection& conn);

// True when the connection holds a catalog snapshot. Without one, tries to
// install it again, at most once per kSnapshotRetrySeconds; callers answer
// from compute (or fail) while it stays missing, never with an empty catalog.
inline constexpr int kSnapshotRetrySeconds = 5;
bool EnsureSnapshot(ZVConnection& conn);

// One attempt to install the snapshot now; a failure sets the time of the
// next attempt. True when a snapshot is installed.
bool TrySnapshot(ZVConnection& conn);

}  // namespace zv
