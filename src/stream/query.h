#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zv {

struct zv_conn;
class CancelScope;

// One decoded batch on its way from a query to the consumer. The receiver
// owns it.
struct ZVArrowBatch {
  std::shared_ptr<arrow::RecordBatch> batch;  // may have 0 rows
  std::shared_ptr<arrow::Schema> schema;
  int64_t size = 0;  // bytes charged against the query's byte budget
};
using ZVArrowBatchPtr = std::unique_ptr<ZVArrowBatch>;

// One running or finished query: a bounded FIFO of decoded batches between
// the worker that fills it and the consumer that drains it, plus the query's
// one error text (the first recorded wins).
// The first failure of a query as the server (or the driver) described it.
struct QueryErrorInfo {
  std::string message;  // empty: no failure
  std::string sqlstate;  // the server's SQLSTATE, empty when it gave none
  std::string code;      // the server's own error code, empty when it gave none
};

struct ZVQuery {
  // Shared with the connection handle: a worker still streaming after the
  // host released the connection keeps the transport (and its share) alive.
  std::shared_ptr<zv_conn> connection;
  std::string sql;
  uint32_t batch_size_hint = 0;
  uint32_t timeout_sec = 0;  // whole-transfer limit, 0 = none
  std::thread worker;

  std::atomic<bool> cancelled{false};
  // Scopes the query is registered with; it leaves them when closed.
  std::vector<std::shared_ptr<CancelScope>> cancel_scopes;
  std::atomic<bool> done{false};

  std::mutex mu;
  std::condition_variable cv;
  // Guarded by mu.
  bool empty_batch_emitted = false;
  bool delivered_any = false;
  std::deque<ZVArrowBatchPtr> queue;
  std::shared_ptr<arrow::Schema> schema;
  uint64_t max_inflight_batches = 0;  // 0 = unbounded
  uint64_t max_inflight_bytes = 0;    // 0 = no byte budget
  uint64_t queued_bytes = 0;
  std::string error;
  std::string error_sqlstate;  // as the server sent it, not yet checked
  std::string error_code;
  std::string stream_id;
  bool multi_result_notice_given = false;
  int64_t rows_affected = -1;
  bool accepted = false;  // the server answered (INIT or data) or the query ended
  bool received_batch = false;  // a data batch was queued at some point

  // Where the response body stands; read and written by the worker alone.
  uint32_t announced_result_sets = 1;  // from INIT; EOS of the last one ends the body
  bool eos_seen = false;               // that EOS arrived: no frame may follow

  // Keeps the first error, marks the query done and wakes every waiter.
  void RecordError(const std::string& text);
  // RecordError for a failure the server described, keeping its SQLSTATE and
  // error code beside the text.
  void RecordServerError(const std::string& text, std::string sqlstate, std::string code);
  // The host cancelled the query (from any thread): the transfer is aborted,
  // which the server sees as the client going away, and the consumer gets
  // the cancellation (57014) as the query's failure. A result the consumer
  // has already read to its end is left alone.
  void Cancel();
  // Marks the query done (no error) and wakes every waiter.
  void MarkDone();
  // Producer side: adopts `schema` when the query has none, then appends the
  // batch (when not null), blocking while the in-flight bounds are full.
  // Returns false without queuing when the query is cancelled, done or failed,
  // or when memory ran out (recorded as the query's error).
  bool Enqueue(std::shared_ptr<arrow::Schema> batch_schema,
               std::shared_ptr<arrow::RecordBatch> batch);
  // Enqueue's allocating part; may throw std::bad_alloc.
  bool EnqueueCarrier(std::shared_ptr<arrow::Schema> batch_schema,
                      std::shared_ptr<arrow::RecordBatch> batch);
  // Adopts an INIT schema when the query has none yet.
  void AdoptSchema(std::shared_ptr<arrow::Schema> init_schema);

  // Records that the server has taken the statement (it answered with INIT or
  // data) and wakes waiters.
  void MarkAccepted();
  // Blocks until the first batch is queued, the query ended, failed or was
  // cancelled. A statement whose stream the host releases unread (DDL run
  // through a cursor) must not be cancelled before it even reached the
  // server, and a failure before any data belongs to the execute call.
  void WaitUntilAccepted();

  std::string ErrorText();
  QueryErrorInfo ErrorInfo();
  std::shared_ptr<arrow::Schema> KnownSchema();
  // The query failed before the server sent any data: the failure belongs to
  // the execute call rather than to the result stream.
  bool FailedBeforeData();
  int64_t RowsAffected();
};

// Cancels, joins and frees a query; the only way a query ends.
void zv_query_close(ZVQuery* query);
struct ZVQueryCloser {
  void operator()(ZVQuery* query) const { zv_query_close(query); }
};
using ZVQueryPtr = std::unique_ptr<ZVQuery, ZVQueryCloser>;

// Makes an initialised query record (rows affected -1, empty queue).
ZVQueryPtr NewQuery(std::shared_ptr<zv_conn> connection);

// The consumer's next batch. Null with `error` untouched: clean end of the
// stream; null with text in `error`: failure. Every stream with a known schema
// yields exactly one zero-row batch (before the data when the schema arrived
// first, otherwise after it), so consumers always see the schema.
ZVArrowBatchPtr zv_next_batch(ZVQuery* query, std::string* error);

// Serves a result computed locally like a finished compute result;
// OutOfMemory when the batches cannot be queued.
arrow::Result<ZVQueryPtr> zv_wrap_engine_result(
    std::shared_ptr<zv_conn> connection, std::shared_ptr<arrow::Schema> schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

}  // namespace zv
