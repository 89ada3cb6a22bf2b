#include "stream/query.h"

#include <arrow/type.h>
#include <arrow/util/byte_size.h>

#include <system_error>

#include "diagnostics/log.h"
#include "stream/cancel_scope.h"
#include "stream/query_failure.h"
#include "transport/transport_connection.h"
#include "util/format.h"

namespace zv {

namespace {

uint64_t NonNegative(int64_t size) { return size > 0 ? static_cast<uint64_t>(size) : 0; }

arrow::Result<ZVArrowBatchPtr> ZeroRowBatch(const std::shared_ptr<arrow::Schema>& schema) {
  auto carrier = std::make_unique<ZVArrowBatch>();
  ARROW_ASSIGN_OR_RAISE(carrier->batch, arrow::RecordBatch::MakeEmpty(schema));
  carrier->schema = schema;
  return carrier;
}

}  // namespace

ZVQuery::ZVQuery(std::shared_ptr<zv_conn> connection) : connection_(std::move(connection)) {}

void ZVQuery::Configure(std::string sql, uint32_t timeout_sec) {
  sql_ = std::move(sql);
  timeout_sec_ = timeout_sec;
}

void ZVQuery::SetInflightLimits(uint64_t max_batches, uint64_t max_bytes) {
  queue_.SetBounds(max_batches, max_bytes);
}

arrow::Status ZVQuery::StartWorker(std::function<void()> work) {
  try {
    worker_ = std::thread(std::move(work));
  } catch (const std::system_error& e) {
    return arrow::Status::IOError(
        Format("failed to spawn query worker thread: %s (errno=%d)", e.what(), e.code().value()));
  } catch (const std::exception& e) {
    return arrow::Status::IOError(Format("failed to spawn query worker thread: %s", e.what()));
  }
  return arrow::Status::OK();
}

void ZVQuery::JoinCancelScope(std::shared_ptr<CancelScope> scope) {
  scope->Add(this);
  cancel_scopes_.push_back(std::move(scope));
}

void ZVQuery::RecordError(arrow::Status failure) {
  // An empty message would read as a clean end of the stream.
  if (failure.ok()) failure = StreamFault("unknown error");
  if (failure.message().empty()) failure = failure.WithMessage("unknown error");
  {
    std::lock_guard<std::mutex> lock(queue_.mutex());
    if (error_.ok()) error_ = std::move(failure);
    done_.store(true);
  }
  queue_.NotifyAll();
}

void ZVQuery::Cancel() {
  {
    std::lock_guard<std::mutex> lock(queue_.mutex());
    const bool drained = done_.load() && queue_.empty() && (empty_batch_emitted_ || !schema_);
    if (drained) return;
    if (error_.ok()) error_ = StreamFault("the query was cancelled", "57014");
    cancelled_.store(true);
    done_.store(true);
  }
  queue_.NotifyAll();
}

void ZVQuery::MarkDone() {
  {
    std::lock_guard<std::mutex> lock(queue_.mutex());
    done_.store(true);
  }
  queue_.NotifyAll();
}

namespace {

bool SameValues(const arrow::DataType& a, const arrow::DataType& b);

// Whether each field of `a` holds values of the type of the same field of `b`.
bool SameFieldTypes(const arrow::FieldVector& a, const arrow::FieldVector& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameValues(*a[i]->type(), *b[i]->type())) return false;
  }
  return true;
}

// Whether values of type `a` may be read as values of type `b`: the same
// type, where names and nullability of nested fields may differ (the INIT
// frame may declare NOT NULL where a batch says nullable).
bool SameValues(const arrow::DataType& a, const arrow::DataType& b) {
  if (a.id() != b.id()) return false;
  switch (a.id()) {
    case arrow::Type::DICTIONARY: {
      const auto& x = static_cast<const arrow::DictionaryType&>(a);
      const auto& y = static_cast<const arrow::DictionaryType&>(b);
      return x.index_type()->Equals(*y.index_type()) &&
             SameValues(*x.value_type(), *y.value_type());
    }
    case arrow::Type::FIXED_SIZE_LIST:
      if (static_cast<const arrow::FixedSizeListType&>(a).list_size() !=
          static_cast<const arrow::FixedSizeListType&>(b).list_size()) {
        return false;
      }
      break;
    case arrow::Type::SPARSE_UNION:
    case arrow::Type::DENSE_UNION:
      if (static_cast<const arrow::UnionType&>(a).type_codes() !=
          static_cast<const arrow::UnionType&>(b).type_codes()) {
        return false;
      }
      break;
    default:
      if (a.num_fields() == 0) return a.Equals(b);
  }
  return SameFieldTypes(a.fields(), b.fields());
}

}  // namespace

void ZVQuery::AdoptSchema(std::shared_ptr<arrow::Schema> init_schema) {
  {
    std::lock_guard<std::mutex> lock(queue_.mutex());
    if (!schema_) schema_ = std::move(init_schema);
  }
  queue_.NotifyAll();
}

bool ZVQuery::Enqueue(std::shared_ptr<arrow::Schema> batch_schema,
                      std::shared_ptr<arrow::RecordBatch> batch) {
  std::shared_ptr<arrow::Schema> result_schema;
  {
    std::lock_guard<std::mutex> lock(queue_.mutex());
    if (!schema_ && batch_schema) schema_ = batch_schema;
    result_schema = schema_;
  }
  if (!batch) {
    queue_.NotifyConsumer();
    return true;
  }
  // The host reads every batch under the one schema the stream exports (the
  // INIT frame's or the first batch's): a batch of another layout would be
  // read through the wrong buffers, past their ends.
  const std::shared_ptr<arrow::Schema>& layout = batch->schema();
  if (result_schema && layout != result_schema &&
      !SameFieldTypes(layout->fields(), result_schema->fields())) {
    RecordError(StreamFault("a result batch's schema (" + layout->ToString() +
                            ") differs from the result's (" + result_schema->ToString() + ")"));
    return false;
  }
  progress_->AddRows(batch->num_rows());
  // A batch that cannot be queued is a failed query, never a shorter result.
  try {
    return EnqueueCarrier(std::move(batch_schema), std::move(batch));
  } catch (const std::bad_alloc&) {
    RecordError(StreamFault("out of memory while queuing a result batch"));
    return false;
  }
}

bool ZVQuery::EnqueueCarrier(std::shared_ptr<arrow::Schema> batch_schema,
                             std::shared_ptr<arrow::RecordBatch> batch) {
  auto carrier = std::make_unique<ZVArrowBatch>();
  // With a byte budget, charge what the batch really holds.
  if (queue_.max_bytes() != 0) carrier->size = arrow::util::TotalBufferSize(*batch);
  carrier->batch = std::move(batch);
  carrier->schema = std::move(batch_schema);
  const uint64_t bytes = NonNegative(carrier->size);
  {
    auto lock = queue_.Acquire();
    if (!queue_.WaitForSpace(lock, bytes, [&] { return Stopped(); })) return false;
    queue_.Push(std::move(carrier), bytes);
    received_batch_ = true;
  }
  queue_.NotifyConsumer();
  return true;
}

void ZVQuery::WaitUntilAccepted() {
  auto lock = queue_.Acquire();
  queue_.WaitForItems(lock, [&] { return !queue_.empty() || Stopped(); });
}

void ZVQuery::SetStreamId(std::string stream_id) {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  stream_id_ = std::move(stream_id);
}

void ZVQuery::SetRowsAffected(int64_t rows) {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  rows_affected_ = rows;
}

bool ZVQuery::ClaimMultiResultNotice() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  if (multi_result_notice_given_) return false;
  multi_result_notice_given_ = true;
  return true;
}

std::string ZVQuery::ErrorText() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return error_.message();
}

arrow::Status ZVQuery::ErrorStatus() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return error_;
}

std::shared_ptr<arrow::Schema> ZVQuery::KnownSchema() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return schema_;
}

std::string ZVQuery::StreamId() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return stream_id_;
}

bool ZVQuery::FailedBeforeData() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return !error_.ok() && !received_batch_;
}

int64_t ZVQuery::RowsAffected() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  return rows_affected_;
}

std::vector<int64_t> ZVQuery::QueuedRowCountsForTesting() {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  std::vector<int64_t> rows;
  queue_.ForEach(
      [&](const ZVArrowBatchPtr& carrier) { rows.push_back(carrier->batch->num_rows()); });
  return rows;
}

std::shared_ptr<arrow::Schema> ZVQuery::TakeEmptyBatchSchema() {
  if (!delivered_any_ && schema_ && !done_.load()) {
    delivered_any_ = true;
    empty_batch_emitted_ = true;
    ZV_LOG(kLogInfo, "transport",
           "zv_next_batch(q=%p): emitting zero-row SCHEMA PRELUDE from INIT frame (no data "
           "batch yet, stream_done=0)",
           static_cast<void*>(this));
    return schema_;
  }
  if (empty_batch_emitted_ || !schema_) return nullptr;
  empty_batch_emitted_ = true;
  return schema_;
}

ZVArrowBatchPtr ZVQuery::NextBatch(std::string* error) {
  std::shared_ptr<arrow::Schema> schema_for_empty;
  {
    auto lock = queue_.Acquire();
    queue_.WaitForItems(lock, [&] {
      return !queue_.empty() || done_.load() || !error_.ok() ||
             (!delivered_any_ && schema_ != nullptr);
    });
    if (!error_.ok()) {
      if (error) *error = error_.message();
      return nullptr;
    }
    if (!queue_.empty()) {
      ZVArrowBatchPtr carrier = queue_.Pop();
      delivered_any_ = true;
      lock.unlock();
      queue_.NotifyAll();
      return carrier;
    }
    schema_for_empty = TakeEmptyBatchSchema();
    if (!schema_for_empty) return nullptr;
  }
  queue_.NotifyAll();
  auto carrier = ZeroRowBatch(schema_for_empty);
  if (!carrier.ok()) {
    if (error) *error = "failed to synthesise empty batch: " + carrier.status().ToString();
    return nullptr;
  }
  return std::move(*carrier);
}

void ZVQuery::Close() {
  for (const auto& scope : cancel_scopes_) scope->Remove(this);
  ZV_LOG(kLogInfo, "transport",
         "zv_query_close(q=%p): closing query (worker_joinable=%d) -- this is the consumer "
         "releasing the result stream",
         static_cast<void*>(this), worker_.joinable() ? 1 : 0);
  {
    // Under the lock: a producer between checking its wait condition and
    // blocking would otherwise miss this wake-up and never return.
    std::lock_guard<std::mutex> lock(queue_.mutex());
    cancelled_.store(true);
  }
  queue_.NotifyAll();
  if (worker_.joinable()) worker_.join();
  std::lock_guard<std::mutex> lock(queue_.mutex());
  queue_.Clear();
}

void ZVQuery::HoldFinishedResult(const std::shared_ptr<arrow::Schema>& schema,
                                 const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  std::lock_guard<std::mutex> lock(queue_.mutex());
  schema_ = schema;
  for (const auto& batch : batches) {
    if (!batch) continue;
    auto carrier = std::make_unique<ZVArrowBatch>();
    carrier->batch = batch;
    carrier->schema = schema;
    progress_->AddRows(batch->num_rows());
    queue_.Push(std::move(carrier));
  }
  progress_->Complete();
  done_.store(true);
}

ZVQueryPtr NewQuery(std::shared_ptr<zv_conn> connection) {
  return ZVQueryPtr(std::make_unique<ZVQuery>(std::move(connection)).release());
}

ZVArrowBatchPtr zv_next_batch(ZVQuery* q, std::string* error) {
  if (q == nullptr) {
    if (error) *error = "zv_next_batch: q is NULL";
    return nullptr;
  }
  return q->NextBatch(error);
}

void zv_query_close(ZVQuery* query) {
  if (query == nullptr) return;
  std::unique_ptr<ZVQuery> owned(query);
  owned->Close();
}

arrow::Result<ZVQueryPtr> zv_wrap_engine_result(
    std::shared_ptr<zv_conn> connection, const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  try {
    ZVQueryPtr query = NewQuery(std::move(connection));
    query->HoldFinishedResult(schema, batches);
    return query;
  } catch (const std::bad_alloc&) {
    return arrow::Status::OutOfMemory("out of memory while queuing the metadata engine's result");
  }
}

}  // namespace zv
