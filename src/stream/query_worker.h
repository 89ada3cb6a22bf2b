#pragma once

#include <arrow/result.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "stream/cancel_scope.h"
#include "stream/query.h"

namespace zv {

struct zv_conn;

// A statement to run on compute, and how it may be stopped.
struct QuerySpec {
  std::string sql;
  uint32_t timeout_sec = 0;  // whole-transfer limit; 0: none
  // Cancelling any of these ends the query.
  std::vector<std::shared_ptr<CancelScope>> cancel_scopes;
};

// Starts `spec.sql` on the connection's compute node: creates the query and
// its worker thread, which streams the framed response into the query's
// batch queue. The caller owns the query (closing it cancels the transfer).
// A query that cannot start is an I/O failure.
arrow::Result<ZVQueryPtr> StartQuery(std::shared_ptr<zv_conn> connection, QuerySpec spec);

// The JSON body of a query request: {"sql": ...} plus, when both bounds are
// set, "stream_options": {"max_batch_bytes": max(bytes / batches, 4 MiB)}.
arrow::Result<std::string> QueryRequestBody(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches);

// A compute node's answer with HTTP status >= 400 as the query's failure:
// the text of zv_compute_error_text, the SQLSTATE the server sent, else the
// one the status says, else the one the text gives.
arrow::Status ComputeHttpFailure(long http_status, std::string_view body);

// The checks once a 2xx response body has ended: a partial frame, or no
// end-of-stream frame for result set 0, fails the query (a body cut short
// must never read as a complete result).
void FinishQueryStream(ZVQuery* q, bool partial_frame);

// Handles one frame of the query stream; 0 continues, 1 stops the transfer.
// Only result set 0 is surfaced; frames of other result sets are dropped.
// After the EOS of result set 0 only those and an ERROR frame may follow:
// any other frame fails the query.
int QueryFrameHandler(uint8_t type, const uint8_t* payload, uint64_t length, void* query);

}  // namespace zv
