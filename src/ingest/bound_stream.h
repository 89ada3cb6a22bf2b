// Turns a host's bound record batch into a stream the ingest path can own.
#pragma once

#include <arrow/c/abi.h>
#include <arrow/result.h>

#include "util/owned_arrow_stream.h"

namespace zv {

// Wraps one record batch given as C array and schema into a stream of that
// single batch. The schema is always consumed; the array is consumed on
// success and released here on failure, so the host never has to guess.
arrow::Result<OwnedArrowStream> StreamOfOneBatch(ArrowArray* array, ArrowSchema* schema);

}  // namespace zv
