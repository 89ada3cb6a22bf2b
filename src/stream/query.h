#pragma once

#include <arrow/record_batch.h>
#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stream/exec_progress.h"
#include "util/bounded_queue.h"

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
// one failure (the first recorded wins), kept as the Status the place that
// saw it made, with its SQLSTATE (see stream/query_failure.h).
class ZVQuery {
 public:
  // `connection` is shared with the connection handle: a worker still
  // streaming after the host released the connection keeps the transport (and
  // its share) alive. Null for results that never touch the network.
  explicit ZVQuery(std::shared_ptr<zv_conn> connection);
  ZVQuery(const ZVQuery&) = delete;
  ZVQuery& operator=(const ZVQuery&) = delete;

  // Set before the worker starts.
  void Configure(std::string sql, uint32_t timeout_sec);
  // In-flight bounds of the batch queue; 0: none.
  void SetInflightLimits(uint64_t max_batches, uint64_t max_bytes);
  // Runs `work` on the query's own thread, which closing the query joins.
  arrow::Status StartWorker(std::function<void()> work);
  // Registers the query with `scope` until it is closed.
  void JoinCancelScope(std::shared_ptr<CancelScope> scope);

  const std::shared_ptr<zv_conn>& connection() const { return connection_; }
  const std::string& sql() const { return sql_; }
  uint32_t timeout_sec() const { return timeout_sec_; }  // whole-transfer limit, 0 = none
  uint64_t max_inflight_batches() const { return queue_.max_items(); }
  uint64_t max_inflight_bytes() const { return queue_.max_bytes(); }
  bool cancelled() const { return cancelled_.load(); }
  // Rows received so far; shared with whoever watches the query.
  const std::shared_ptr<ExecProgress>& progress() const { return progress_; }

  // Keeps the first failure, marks the query done and wakes every waiter.
  void RecordError(arrow::Status failure);
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
  // Adopts an INIT schema when the query has none yet.
  void AdoptSchema(std::shared_ptr<arrow::Schema> init_schema);

  // Blocks until the first batch is queued, the query ended, failed or was
  // cancelled. A statement whose stream the host releases unread (DDL run
  // through a cursor) must not be cancelled before it even reached the
  // server, and a failure before any data belongs to the execute call.
  void WaitUntilAccepted();

  // What the server's INIT frame said.
  void SetStreamId(std::string stream_id);
  void SetRowsAffected(int64_t rows);
  // True the first time only: the host hears once that results beyond the
  // first result set are dropped.
  bool ClaimMultiResultNotice();

  // Where the response body stands; read and written by the worker alone.
  // The EOS of result set 0 ends the surfaced result: the body may go on
  // with frames of other result sets only.
  void MarkEosSeen() { eos_seen_ = true; }
  bool eos_seen() const { return eos_seen_; }

  // The first failure's message; empty when the query has not failed.
  std::string ErrorText();
  // The first failure; OK when the query has not failed.
  arrow::Status ErrorStatus();
  std::shared_ptr<arrow::Schema> KnownSchema();
  std::string StreamId();
  // The query failed before the server sent any data: the failure belongs to
  // the execute call rather than to the result stream.
  bool FailedBeforeData();
  int64_t RowsAffected();
  // Row counts of the batches waiting in the queue, oldest first.
  std::vector<int64_t> QueuedRowCountsForTesting();

  // The consumer's next batch (see zv_next_batch).
  ZVArrowBatchPtr NextBatch(std::string* error);
  // Cancels and joins the worker and drops what is queued.
  void Close();
  // Makes the query a finished one holding `batches`.
  void HoldFinishedResult(const std::shared_ptr<arrow::Schema>& schema,
                          const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

 private:
  // Enqueue's allocating part; may throw std::bad_alloc.
  bool EnqueueCarrier(std::shared_ptr<arrow::Schema> batch_schema,
                      std::shared_ptr<arrow::RecordBatch> batch);
  // Under the lock: the query ended, failed or was cancelled.
  bool Stopped() const { return cancelled_.load() || done_.load() || !error_.ok(); }
  // Under the lock: the schema-only batch NextBatch owes the consumer, if any.
  std::shared_ptr<arrow::Schema> TakeEmptyBatchSchema();

  const std::shared_ptr<zv_conn> connection_;
  std::string sql_;
  uint32_t timeout_sec_ = 0;
  std::thread worker_;
  // Scopes the query is registered with; it leaves them when closed.
  std::vector<std::shared_ptr<CancelScope>> cancel_scopes_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> done_{false};
  const std::shared_ptr<ExecProgress> progress_ = std::make_shared<ExecProgress>();

  // The batches, and the lock that guards the members after it.
  BoundedQueue<ZVArrowBatchPtr> queue_;
  bool empty_batch_emitted_ = false;
  bool delivered_any_ = false;
  std::shared_ptr<arrow::Schema> schema_;
  arrow::Status error_;
  std::string stream_id_;
  bool multi_result_notice_given_ = false;
  int64_t rows_affected_ = -1;
  bool received_batch_ = false;  // a data batch was queued at some point

  bool eos_seen_ = false;  // the EOS of result set 0 arrived
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
    std::shared_ptr<zv_conn> connection, const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches);

}  // namespace zv
