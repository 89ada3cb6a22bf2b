// The nine relations of a catalog snapshot, identified by the BATCH frame's
// result-set index.
#pragma once

#include <array>
#include <memory>

#include <arrow/record_batch.h>

namespace zv {

inline constexpr int kSnapshotSlotCount = 9;

inline constexpr std::array<const char*, kSnapshotSlotCount> kSnapshotRelationNames = {
    "information_schema.catalogs",
    "information_schema.schemata",
    "information_schema.tables",
    "information_schema.columns",
    "information_schema.views",
    "information_schema.key_column_usage",
    "information_schema.odbc_columns",
    "information_schema.table_constraints",
    "information_schema.referential_constraints",
};

// Decoded slots; a null entry is a relation that is not available. Batches
// are immutable, so the references can be shared freely between connections
// and the process-wide cache.
using SnapshotSlots = std::array<std::shared_ptr<arrow::RecordBatch>, kSnapshotSlotCount>;

}  // namespace zv
