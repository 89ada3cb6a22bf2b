// The pieces every Acero plan of the engine shares: one batch in as a
// single-batch table source, one batch out.
#pragma once

#include <memory>

#include <arrow/acero/exec_plan.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>

namespace zv_sql::internal {

// A "table_source" declaration over `batch`.
arrow::Result<arrow::acero::Declaration> table_source(
    const std::shared_ptr<arrow::RecordBatch>& batch);

// Runs the plan on Arrow's thread pool, waits for it, and returns its output
// as one batch (an empty batch of the output schema when there are no rows).
arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_to_batch(arrow::acero::Declaration plan);

}  // namespace zv_sql::internal
