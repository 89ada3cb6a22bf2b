// Row-wise evaluation of one expression over one record batch, every operator
// delegated to an Arrow compute function called by name.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <arrow/datum.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/statement_model.h"

namespace zv_sql {

struct EvalContext {
  std::shared_ptr<arrow::RecordBatch> batch;
  // The caller's error text: the first detailed failure message is written
  // here (only while it is empty); the returned status carries a short form.
  std::string* error = nullptr;
};

// An array with one value per row, or a scalar when the value does not depend
// on the rows.
arrow::Result<arrow::Datum> evaluate(const EvalContext& context, const Expr& expr);

// The datum as a boolean array of `rows` values: scalars are broadcast and
// other types cast safely to boolean.
arrow::Result<std::shared_ptr<arrow::Array>> to_predicate_mask(const arrow::Datum& value,
                                                               int64_t rows);

// Index of the first field whose name equals `name` ASCII case-insensitively,
// or -1.
int find_field(const arrow::Schema& schema, std::string_view name);

// Writes `detailed` to `*error` when that text is present and still empty, and
// returns Invalid(short_message).
arrow::Status record_failure(std::string* error, std::string_view detailed,
                             const std::string& short_message);

}  // namespace zv_sql
