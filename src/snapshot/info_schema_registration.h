#pragma once

#include "metadata_engine/relation_registry.h"
#include "snapshot/snapshot_store.h"

namespace zv {

// Registers a new connection's snapshot slots under their information_schema
// names, and empty stand-ins for the information_schema relations the service
// does not deliver but client tools commonly query (routines, privileges,
// triggers...), so those queries answer locally with no rows instead of going
// to compute. Empty slots are skipped. Does nothing when either argument is
// null; never fails the connection.
void zv_register_info_schema(const ZVSnapshotStore* store, zv_sql::RelationRegistry* registry);

}  // namespace zv
