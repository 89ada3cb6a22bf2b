// The size of an equality join, known before it is built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>

namespace zv_sql::internal {

// The rows of the inner join of `left` and `right` on the named key columns
// (pairwise equal, a null key matching nothing), counted without building
// them: the rows of each key value on the right, summed over the left rows.
arrow::Result<int64_t> inner_join_rows(const std::shared_ptr<arrow::RecordBatch>& left,
                                       const std::shared_ptr<arrow::RecordBatch>& right,
                                       const std::vector<std::string>& left_keys,
                                       const std::vector<std::string>& right_keys);

}  // namespace zv_sql::internal
