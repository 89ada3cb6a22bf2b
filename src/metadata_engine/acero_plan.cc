#include "metadata_engine/acero_plan_internal.h"

#include <arrow/acero/options.h>
#include <arrow/compute/registry.h>
#include <arrow/memory_pool.h>
#include <arrow/table.h>

namespace zv_sql::internal {

namespace acero = arrow::acero;

namespace {
constexpr int64_t kMaxSourceBatchRows = 0x100000;
}  // namespace

arrow::Result<acero::Declaration> table_source(const std::shared_ptr<arrow::RecordBatch>& batch) {
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Table> table,
                        arrow::Table::FromRecordBatches(batch->schema(), {batch}));
  return acero::Declaration("table_source",
                            acero::TableSourceNodeOptions(std::move(table), kMaxSourceBatchRows));
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> run_to_batch(acero::Declaration plan) {
  ARROW_ASSIGN_OR_RAISE(
      std::shared_ptr<arrow::Table> table,
      acero::DeclarationToTable(std::move(plan), /*use_threads=*/true, arrow::default_memory_pool(),
                                arrow::compute::GetFunctionRegistry()));
  if (table->num_rows() == 0) return arrow::RecordBatch::MakeEmpty(table->schema());
  return table->CombineChunksToBatch();
}

}  // namespace zv_sql::internal
