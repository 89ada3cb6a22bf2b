// Catalog answers for a connection that holds no snapshot: the same
// information_schema relations the snapshot carries, read from compute.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "catalog/objects_tree.h"

namespace zv {

struct zv_conn;
class CancelScope;

// How the catalog asks compute: on the connection's transport, bounded by its
// query time-out, and stopped by the connection's Cancel.
struct ComputeCatalogCall {
  std::shared_ptr<zv_conn> transport;
  uint32_t timeout_sec = 0;
  std::shared_ptr<CancelScope> cancel;
};

// The whole of `SELECT * FROM information_schema.<relation>` as one batch.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> ReadRelationFromCompute(
    const ComputeCatalogCall& call, std::string_view relation);

// The relations GetObjects reads, for the given depth (columns and keys only
// at depth "all", where they are shown).
arrow::Result<ObjectsSources> ObjectsSourcesFromCompute(const ComputeCatalogCall& call,
                                                        ObjectsDepth depth);

}  // namespace zv
