#include "stream/query.h"

#include <arrow/util/byte_size.h>

#include "diagnostics/log.h"
#include "stream/cancel_scope.h"
#include "transport/transport_connection.h"

namespace zv {

namespace {

uint64_t NonNegative(int64_t size) { return size > 0 ? static_cast<uint64_t>(size) : 0; }

// Both in-flight bounds admit one more batch of `size` bytes.
bool Admits(const ZVQuery& q, int64_t size) {
  const bool batches_ok = q.max_inflight_batches == 0 || q.queue.size() < q.max_inflight_batches;
  const bool bytes_ok = q.max_inflight_bytes == 0 || q.queue.empty() ||
                        q.queued_bytes + NonNegative(size) <= q.max_inflight_bytes;
  return batches_ok && bytes_ok;
}

arrow::Result<ZVArrowBatchPtr> ZeroRowBatch(const std::shared_ptr<arrow::Schema>& schema) {
  auto carrier = std::make_unique<ZVArrowBatch>();
  ARROW_ASSIGN_OR_RAISE(carrier->batch, arrow::RecordBatch::MakeEmpty(schema));
  carrier->schema = schema;
  return carrier;
}

}  // namespace

void ZVQuery::RecordError(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (error.empty()) error = text.empty() ? "unknown error" : text;
    done.store(true);
  }
  cv.notify_all();
}

void ZVQuery::RecordServerError(const std::string& text, std::string sqlstate,
                                std::string code) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (error.empty()) {
      error = text.empty() ? "unknown error" : text;
      error_sqlstate = std::move(sqlstate);
      error_code = std::move(code);
    }
    done.store(true);
  }
  cv.notify_all();
}

void ZVQuery::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mu);
    const bool drained = done.load() && queue.empty() && (empty_batch_emitted || !schema);
    if (drained) return;
    if (error.empty()) {
      error = "the query was cancelled";
      error_sqlstate = "57014";
      error_code.clear();
    }
    cancelled.store(true);
    done.store(true);
  }
  cv.notify_all();
}

void ZVQuery::MarkDone() {
  {
    std::lock_guard<std::mutex> lock(mu);
    done.store(true);
  }
  cv.notify_all();
}

void ZVQuery::AdoptSchema(std::shared_ptr<arrow::Schema> init_schema) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!schema) schema = std::move(init_schema);
  }
  cv.notify_all();
}

bool ZVQuery::Enqueue(std::shared_ptr<arrow::Schema> batch_schema,
                      std::shared_ptr<arrow::RecordBatch> batch) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!schema && batch_schema) schema = batch_schema;
  }
  if (!batch) {
    cv.notify_one();
    return true;
  }
  // A batch that cannot be queued is a failed query, never a shorter result.
  try {
    return EnqueueCarrier(std::move(batch_schema), std::move(batch));
  } catch (const std::bad_alloc&) {
    RecordError("out of memory while queuing a result batch");
    return false;
  }
}

bool ZVQuery::EnqueueCarrier(std::shared_ptr<arrow::Schema> batch_schema,
                             std::shared_ptr<arrow::RecordBatch> batch) {
  auto carrier = std::make_unique<ZVArrowBatch>();
  // With a byte budget, charge what the batch really holds.
  if (max_inflight_bytes != 0) carrier->size = arrow::util::TotalBufferSize(*batch);
  carrier->batch = std::move(batch);
  carrier->schema = std::move(batch_schema);
  {
    std::unique_lock<std::mutex> lock(mu);
    if (max_inflight_batches != 0 || max_inflight_bytes != 0) {
      cv.wait(lock, [&] {
        return Admits(*this, carrier->size) || cancelled.load() || done.load() || !error.empty();
      });
    }
    if (cancelled.load() || done.load() || !error.empty()) return false;
    queue.push_back(std::move(carrier));
    queued_bytes += NonNegative(queue.back()->size);
    received_batch = true;
  }
  cv.notify_one();
  return true;
}

void ZVQuery::MarkAccepted() {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (accepted) return;
    accepted = true;
  }
  cv.notify_all();
}

void ZVQuery::WaitUntilAccepted() {
  std::unique_lock<std::mutex> lock(mu);
  cv.wait(lock, [&] {
    return !queue.empty() || done.load() || !error.empty() || cancelled.load();
  });
}

std::string ZVQuery::ErrorText() {
  std::lock_guard<std::mutex> lock(mu);
  return error;
}

QueryErrorInfo ZVQuery::ErrorInfo() {
  std::lock_guard<std::mutex> lock(mu);
  return {error, error_sqlstate, error_code};
}

std::shared_ptr<arrow::Schema> ZVQuery::KnownSchema() {
  std::lock_guard<std::mutex> lock(mu);
  return schema;
}

bool ZVQuery::FailedBeforeData() {
  std::lock_guard<std::mutex> lock(mu);
  return !error.empty() && !received_batch;
}

int64_t ZVQuery::RowsAffected() {
  std::lock_guard<std::mutex> lock(mu);
  return rows_affected;
}

ZVQueryPtr NewQuery(std::shared_ptr<zv_conn> connection) {
  ZVQueryPtr query(std::make_unique<ZVQuery>().release());
  query->connection = std::move(connection);
  return query;
}

ZVArrowBatchPtr zv_next_batch(ZVQuery* q, std::string* error) {
  if (q == nullptr) {
    if (error) *error = "zv_next_batch: q is NULL";
    return nullptr;
  }
  std::shared_ptr<arrow::Schema> schema_for_empty;
  {
    std::unique_lock<std::mutex> lock(q->mu);
    q->cv.wait(lock, [&] {
      return !q->queue.empty() || q->done.load() || !q->error.empty() ||
             (!q->delivered_any && q->schema != nullptr);
    });
    if (!q->error.empty()) {
      if (error) *error = q->error;
      return nullptr;
    }
    if (!q->queue.empty()) {
      ZVArrowBatchPtr carrier = std::move(q->queue.front());
      q->queue.pop_front();
      q->delivered_any = true;
      const uint64_t size = NonNegative(carrier->size);
      q->queued_bytes = q->queued_bytes > size ? q->queued_bytes - size : 0;
      lock.unlock();
      q->cv.notify_all();
      return carrier;
    }
    if (!q->delivered_any && q->schema && !q->done.load()) {
      q->delivered_any = true;
      q->empty_batch_emitted = true;
      ZV_LOG(kLogInfo, "transport",
             "zv_next_batch(q=%p): emitting zero-row SCHEMA PRELUDE from INIT frame (no data "
             "batch yet, stream_done=0)",
             static_cast<void*>(q));
    } else if (q->empty_batch_emitted || !q->schema) {
      return nullptr;
    } else {
      q->empty_batch_emitted = true;
    }
    schema_for_empty = q->schema;
  }
  q->cv.notify_all();
  auto carrier = ZeroRowBatch(schema_for_empty);
  if (!carrier.ok()) {
    if (error) *error = "failed to synthesise empty batch: " + carrier.status().ToString();
    return nullptr;
  }
  return std::move(*carrier);
}

void zv_query_close(ZVQuery* query) {
  if (query == nullptr) return;
  std::unique_ptr<ZVQuery> owned(query);
  for (const auto& scope : query->cancel_scopes) scope->Remove(query);
  ZV_LOG(kLogInfo, "transport",
         "zv_query_close(q=%p): closing query (worker_joinable=%d) -- this is the consumer "
         "releasing the result stream",
         static_cast<void*>(query), query->worker.joinable() ? 1 : 0);
  {
    // Under the lock: a producer between checking its wait condition and
    // blocking would otherwise miss this wake-up and never return.
    std::lock_guard<std::mutex> lock(query->mu);
    query->cancelled.store(true);
  }
  query->cv.notify_all();
  if (query->worker.joinable()) query->worker.join();
  std::lock_guard<std::mutex> lock(query->mu);
  query->queue.clear();
  query->queued_bytes = 0;
}

arrow::Result<ZVQueryPtr> zv_wrap_engine_result(
    std::shared_ptr<zv_conn> connection, std::shared_ptr<arrow::Schema> schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  try {
    ZVQueryPtr query = NewQuery(std::move(connection));
    query->schema = schema;
    for (const auto& batch : batches) {
      if (!batch) continue;
      auto carrier = std::make_unique<ZVArrowBatch>();
      carrier->batch = batch;
      carrier->schema = schema;
      query->queue.push_back(std::move(carrier));
    }
    query->done.store(true);
    return query;
  } catch (const std::bad_alloc&) {
    return arrow::Status::OutOfMemory("out of memory while queuing the metadata engine's result");
  }
}

}  // namespace zv
