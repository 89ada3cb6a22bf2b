// The types SQL gives the results of arithmetic, CASE and COALESCE, so that
// values are computed at the widths compute uses: SMALLINT and INTEGER keep
// their widths and overflow at their limits, REAL stays 32-bit, and a bare
// integer constant takes the type of what it meets when its value fits that
// type (h * 2 is SMALLINT for a SMALLINT h; h * 100000 is INTEGER).
#pragma once

#include <memory>
#include <vector>

#include <arrow/datum.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// One operand: its value and, when it was written as a bare integer constant,
// that constant.
struct TypedOperand {
  arrow::Datum value;
  const Literal* constant = nullptr;
};

// The integer constant `expr` was written as, or null.
const Literal* integer_constant_of(const Expr& expr);

// The type SQL unifies these operands to for arithmetic, CASE results and
// COALESCE; nullptr when they are not all numbers (or nulls). Declines the
// operand kinds whose rules the engine does not reproduce (unsigned and 8-bit
// integers, all operands null).
arrow::Result<std::shared_ptr<arrow::DataType>> unified_numeric_type(
    const std::vector<TypedOperand>& operands);

// The operand cast to `type` (a no-op when it has it already).
arrow::Result<arrow::Datum> cast_to(const arrow::Datum& value,
                                    const std::shared_ptr<arrow::DataType>& type);

// Fails (declining the statement) when a floating-point value is NaN or
// negative zero: compute treats NaN as equal to itself and above every
// number, and -0.0 as equal to 0.0 when grouping, joining and removing
// duplicates; the engine's kernels do neither.
arrow::Status check_float_values(const arrow::Datum& value);

}  // namespace zv_sql::internal
