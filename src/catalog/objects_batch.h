#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <memory>
#include <vector>

#include "catalog/objects_tree.h"

namespace zv {

// ADBC's standard GetObjects schema.
std::shared_ptr<arrow::Schema> GetObjectsSchema();

// One row per catalog, nested as deep as `depth` asks (see ClassifyDepth).
// Builder failures carry the failing step's label, status INTERNAL, HY000.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildObjectsBatch(
    const std::vector<CatalogNode>& catalogs, ObjectsDepth depth);

// A zero-row batch with the full GetObjects schema.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildEmptyObjectsBatch();

}  // namespace zv
