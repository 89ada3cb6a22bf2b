// GROUP BY and aggregate functions, run as an Acero aggregate plan.
#pragma once

#include <memory>
#include <string>

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// Whether the statement groups or aggregates: GROUP BY is present or a select
// item is an aggregate call at its top level.
bool is_aggregate_query(const SelectStatement& statement);

// The select list evaluated per group (one row without GROUP BY). Failures
// write the detailed message to `error`; inputs whose answer Arrow could get
// wrong (possible integer overflow, types SQL does not aggregate) decline.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> aggregate(
    const std::shared_ptr<arrow::RecordBatch>& input, const SelectStatement& statement,
    std::string* error);

}  // namespace zv_sql::internal
