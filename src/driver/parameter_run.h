// Statements with bound positional parameters: each parameter row is written
// into the SQL text as literals and run.
#pragma once

#include <arrow/c/abi.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <functional>
#include <string>

#include "util/owned_arrow_stream.h"

namespace zv {

// Runs one SQL text: with `out`, hands out its result stream; without, runs
// it to completion and sets `rows_affected` (-1 when the server gave no
// count).
using SqlRunner =
    std::function<arrow::Status(const std::string& sql, ArrowArrayStream* out,
                                int64_t* rows_affected)>;

// Runs `sql` with the parameters in `bound` (consumed). With `out`, exactly
// one parameter row is taken and its result handed out. Without, every row
// runs in order (rows of a simple INSERT ... VALUES (?, ...) go several to a
// statement), `rows_affected` is their sum, and the first failing row stops
// the run and is named in the error. A placeholder count that differs from
// the bound column count (07002) or a type with no literal is refused before
// anything is sent. `cancelled` is asked between statements.
arrow::Status RunWithParameters(const std::string& sql, OwnedArrowStream& bound,
                                ArrowArrayStream* out, int64_t* rows_affected,
                                const SqlRunner& run, const std::function<bool()>& cancelled);

// The number of placeholders in `sql`, as the parameter schema reports it.
arrow::Result<size_t> CountParameters(const std::string& sql);

}  // namespace zv
