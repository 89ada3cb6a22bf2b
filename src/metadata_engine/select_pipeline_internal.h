// The single-table steps of the select pipeline, each from one batch to a new
// batch. Failures write their detailed message to `error` (first one wins) and
// return a short Invalid status, as the evaluator does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/compute/ordering.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

using BatchPtr = std::shared_ptr<arrow::RecordBatch>;

// Keeps the rows for which `predicate` is true (false and null drop the row).
arrow::Result<BatchPtr> filter_rows(const BatchPtr& input, const Expr& predicate,
                                    std::string* error);

// Evaluates the select list (no aggregation) and names the output columns.
// `input` without the columns no clause of `statement` names (the same
// batch when it has SELECT *, a subquery or nothing to drop).
BatchPtr keep_read_columns(const BatchPtr& input, const SelectStatement& statement);

// The name project gives the output column of the select-list item at
// `position` (not a star).
std::string output_name(const ProjectionItem& item, size_t position, const arrow::Schema& input);

arrow::Result<BatchPtr> project(const BatchPtr& input, const SelectStatement& statement,
                                std::string* error);

// SELECT DISTINCT: keeps the first occurrence of every distinct row, in input
// order; nulls compare equal to each other, as DISTINCT requires.
arrow::Result<BatchPtr> distinct_rows(const BatchPtr& input);

// The output column an unqualified ORDER BY name stands for: the one whose
// name is exactly `name`, else the one that equals it ignoring ASCII case.
// -1 when none does (the name then means a column of the FROM relations), -2
// when several do (ambiguous).
int match_output_name(const std::vector<std::string>& output_names, std::string_view name);

// ORDER BY with SQL's meaning: positions and unqualified names that match an
// output column sort by that column; qualified names and names no output
// column has sort by the column of the FROM relations, read from `input`
// (the rows the output was projected from, row for row). Without `input`
// (after aggregation or DISTINCT) such keys are left to compute.
arrow::Result<BatchPtr> order_rows(const BatchPtr& output, const BatchPtr& input,
                                   const SelectStatement& statement, std::string* error);

// How many rows of the sorted output OFFSET and LIMIT keep from its start;
// nothing without a usable LIMIT.
std::optional<int64_t> rows_needed(const SelectStatement& statement);

// The input column (of `input`, the rows project reads) whose values the
// first ORDER BY item sorts by, when it is one passed on unchanged; nothing
// when it is computed, ambiguous or not a column.
std::optional<int> first_key_input_column(const SelectStatement& statement,
                                          const arrow::Schema& input);

// Whether a pass that keeps only the rows able to reach the first `need`
// sorted places pays for itself over `rows` rows.
bool worth_top_k(int64_t need, int64_t rows);

// Types whose comparison kernels order values exactly as sort_indices does
// (no NaN, no collation), so that a first sort key can be judged alone.
bool orders_like_sort(const arrow::DataType& type);

// For ORDER BY ... LIMIT over many rows: a mask of the rows that may still
// be among the first `need` once sorted by `key` (whose values are `keys`),
// judged by that first key alone; null when a full sort is as cheap.
arrow::Result<std::shared_ptr<arrow::Array>> top_k_candidates(
    const std::shared_ptr<arrow::Array>& keys, const arrow::compute::SortKey& key, int64_t need);

// OFFSET then LIMIT; negative offsets act as 0 and negative limits keep nothing.
BatchPtr apply_offset_limit(const BatchPtr& input, const SelectStatement& statement);

}  // namespace zv_sql::internal
