#pragma once

#include <adbc.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zv {

// The GetInfo batch (ADBC's standard schema) for the requested codes, in the
// driver's fixed row order; null codes means every row. The ADBC version
// reported is the one the host loaded the driver as.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildInfoBatch(
    const uint32_t* codes, size_t length, int adbc_version = ADBC_VERSION_1_0_0);

// The table types the catalog uses: "BASE TABLE", "VIEW".
arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildTableTypesBatch();

// Hands one batch to the host as a one-batch stream.
arrow::Status ExportSingleBatch(std::shared_ptr<arrow::RecordBatch> batch, ArrowArrayStream* out);

}  // namespace zv
