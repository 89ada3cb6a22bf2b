// Catalog answers for a connection that holds no snapshot: the same
// information_schema relations the snapshot carries, read from compute.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <memory>
#include <string_view>

#include "catalog/objects_tree.h"

namespace zv {

struct zv_conn;

// The whole of `SELECT * FROM information_schema.<relation>` as one batch.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> ReadRelationFromCompute(
    const std::shared_ptr<zv_conn>& transport, std::string_view relation);

// The relations GetObjects reads, for the given depth (columns and keys only
// at depth "all", where they are shown).
arrow::Result<ObjectsSources> ObjectsSourcesFromCompute(const std::shared_ptr<zv_conn>& transport,
                                                        ObjectsDepth depth);

}  // namespace zv
