// Catalog answers for a connection that holds no snapshot: the same
// information_schema relations the snapshot carries, read from compute.
#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "catalog/objects_tree.h"
#include "catalog/table_schema_snapshot.h"

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

// "SELECT * FROM <table> LIMIT 0": each part of the name that is not empty
// as a quoted identifier (embedded quotes doubled), exactly as spelled.
std::string LimitZeroQuery(const CatalogTableName& table);

// The schema of an empty result of `table` on compute. The answer's schema is
// the one it declares first: its INIT frame's when that carries one, else its
// first batch's, whatever the timing of the frames.
arrow::Result<std::shared_ptr<arrow::Schema>> TableSchemaFromCompute(const ComputeCatalogCall& call,
                                                                     const CatalogTableName& table);

// The relations GetObjects reads, for the given depth (columns and keys only
// at depth "all", where they are shown).
arrow::Result<ObjectsSources> ObjectsSourcesFromCompute(const ComputeCatalogCall& call,
                                                        ObjectsDepth depth);

}  // namespace zv
