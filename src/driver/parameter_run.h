// Statements with bound positional parameters: each parameter row is written
// into the SQL text as literals and run.
#pragma once

#include <arrow/c/abi.h>
#include <arrow/result.h>
#include <arrow/status.h>

#include <arrow/record_batch.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "util/owned_arrow_stream.h"

namespace zv {

// Runs one SQL text: with `out`, hands out its result stream; without, runs
// it to completion and sets `rows_affected` (-1 when the server gave no
// count).
using SqlRunner = std::function<arrow::Status(const std::string& sql, ArrowArrayStream* out,
                                              int64_t* rows_affected)>;

// A query's result read to its end.
struct WholeResult {
  std::shared_ptr<arrow::Schema> schema;
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
};

// How a parameter run reaches the service.
struct ParameterRunners {
  SqlRunner run;
  // Runs one SQL text and reads its whole result (rows of several parameter
  // rows are held until the last row has run, so that their schemas are
  // known to agree before the host sees any).
  std::function<arrow::Result<WholeResult>(const std::string& sql)> collect;
  // Hands out one stream over a result.
  std::function<arrow::Status(WholeResult result, ArrowArrayStream* out)> publish;
  // Hands out the empty result of `sql` (no parameter rows were bound).
  std::function<arrow::Status(const std::string& sql, ArrowArrayStream* out)> no_rows;
  // Asked between statements.
  std::function<bool()> cancelled;
};

// Runs `sql` with the parameters in `bound` (consumed). With `out`, the
// query runs once per parameter row, in order, and its results form one
// stream: one row streams as the service sends it, several are collected
// first and must all have the first row's schema, no row gives the query's
// empty result. Without `out`, every row runs in order (rows of a simple
// INSERT ... VALUES (?, ...) go several to a statement), `rows_affected` is
// their sum, and the first failing row stops the run and is named in the
// error. A placeholder count that differs from the bound column count
// (07002) or a type with no literal is refused before anything is sent.
arrow::Status RunWithParameters(const std::string& sql, OwnedArrowStream& bound,
                                ArrowArrayStream* out, int64_t* rows_affected,
                                const ParameterRunners& runners);

// The number of placeholders in `sql`, as the parameter schema reports it.
arrow::Result<size_t> CountParameters(const std::string& sql);

}  // namespace zv
