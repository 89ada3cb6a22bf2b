#pragma once

#include <initializer_list>
#include <string>

#include <arrow/result.h>

#include <cstdint>
#include <memory>

#include "stream/cancel_scope.h"
#include "stream/query.h"

namespace zv {

struct zv_conn;

// Starts `sql` on the connection's compute node: creates the query and its
// worker thread, which streams the framed response into the query's batch
// queue. The caller owns the query (closing it cancels the transfer).
arrow::Result<ZVQueryPtr> zv_execute(std::shared_ptr<zv_conn> connection, const char* sql,
                                     uint32_t batch_size_hint, uint32_t timeout_sec);

// zv_execute for a caller that must be able to stop the query: it joins every
// scope given, so cancelling any of them ends it. A query that cannot start
// is an I/O failure whose SQLSTATE comes from its text.
arrow::Result<ZVQueryPtr> StartCancellableQuery(
    std::shared_ptr<zv_conn> connection, const std::string& sql, uint32_t batch_size_hint,
    uint32_t timeout_sec, std::initializer_list<std::shared_ptr<CancelScope>> scopes);

// The JSON body of a query request: {"sql": ...} plus, when both bounds are
// set, "stream_options": {"max_batch_bytes": max(bytes / batches, 4 MiB)}.
arrow::Result<std::string> QueryRequestBody(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches);

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
