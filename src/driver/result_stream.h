#pragma once

#include <adbc.h>

#include "stream/query.h"

namespace zv {

// Fills `out` with a stream that serves the query's batches to the host,
// hiding zero-row carrier batches. The stream owns the query from here on and
// closes it when the host releases the stream.
void ExportResultStream(ZVQueryPtr query, ArrowArrayStream* out);

// ADBC 1.1 AdbcErrorFromArrayStream: the last failure of a stream this
// driver returned, with its status; null for any other stream or when the
// stream has not failed. The error stays owned by the stream (the host may
// release it early).
const AdbcError* ResultStreamError(ArrowArrayStream* stream, AdbcStatusCode* status);

// Process-wide counters kept by get_next when ZV_ADBC_PROFILE is set.
struct StreamProfile {
  uint64_t wait_ns;
  uint64_t export_ns;
  uint64_t free_ns;
  uint64_t batches;
  uint64_t rows;
};
StreamProfile ReadStreamProfile();

}  // namespace zv
