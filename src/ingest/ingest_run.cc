#include "ingest/ingest_run.h"

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>
#include <arrow/util/byte_size.h>

#include <algorithm>

#include "diagnostics/log.h"
#include "util/failure.h"
#include "ingest/ordered_encoder_internal.h"
#include "ingest/payload_encoder_internal.h"
#include "ingest/table_ddl_internal.h"
#include "ingest/table_name_internal.h"
#include "ingest/upload_worker_internal.h"
#include "stream/cancel_scope.h"
#include "stream/frame.h"
#include "stream/query_failure.h"
#include "stream/query_worker.h"

namespace zv {

namespace {

arrow::Status UploadFailure(std::string message) {
  return Failure(FailureKind::kIo, "HY000", std::move(message));
}

arrow::Status Contradiction(std::string message) {
  return Failure(FailureKind::kInvalidArgument, "22023", std::move(message));
}

// Settings that contradict each other are refused before anything is sent.
arrow::Status CheckCombination(const IngestSettings& settings) {
  const bool qualified = settings.target_catalog || settings.target_db_schema;
  if (settings.target_table && settings.target_table->empty()) {
    return Contradiction("adbc.ingest.target_table is empty");
  }
  if (settings.creation != TableCreation::kNone && !settings.target_table) {
    return Contradiction(std::string("adbc.ingest.mode ") + TableCreationName(settings.creation) +
                         " needs adbc.ingest.target_table");
  }
  if (qualified && !settings.target_table) {
    return Contradiction(
        "adbc.ingest.target_catalog and adbc.ingest.target_db_schema qualify "
        "adbc.ingest.target_table, which is not set");
  }
  if (settings.target_catalog && !settings.target_db_schema) {
    return Contradiction(
        "adbc.ingest.target_catalog needs adbc.ingest.target_db_schema as well (a catalog "
        "alone does not name a schema)");
  }
  if ((settings.target_catalog && settings.target_catalog->empty()) ||
      (settings.target_db_schema && settings.target_db_schema->empty())) {
    return Contradiction(
        "adbc.ingest.target_catalog and adbc.ingest.target_db_schema must not be empty");
  }
  if (settings.mode == IngestMode::kLand &&
      (qualified || settings.creation != TableCreation::kNone)) {
    return Contradiction(
        "zv.ingest.mode land writes files; it takes no table schema or table mode");
  }
  return arrow::Status::OK();
}

arrow::Result<IngestRequest> RequestOf(const IngestSettings& settings,
                                       const arrow::Schema& schema) {
  IngestRequest request;
  request.mode = settings.mode;
  request.payload_format = settings.payload_format;
  if (settings.target_table) {
    // One identifier whatever it contains: a dot in the name is part of it.
    request.target_table = TableName::FromSettings(settings).Quoted();
  }
  request.target_location = settings.target_location.value_or("");
  request.idempotency_key = settings.idempotency_key.value_or("");
  request.key_columns = settings.key_columns;
  request.coerce = settings.coerce;
  request.creation = settings.creation;
  if (settings.creation != TableCreation::kNone) {
    ARROW_ASSIGN_OR_RAISE(request.table_ddl,
                          CreateTableSql(TableName::FromSettings(settings), schema));
  }
  return request;
}

std::string OrDefault(const std::string& text, const char* fallback) {
  return text.empty() ? std::string(fallback) : text;
}

// The largest encoded batch one BATCH frame carries after its 8-byte header.
constexpr int64_t kMaxBatchPayload = static_cast<int64_t>(kZvMaxFramePayload) - 8;

// How the run encodes its batches: the statement's format, and for land
// mode a payload that the service keeps as the landed file.
arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeForRun(const arrow::RecordBatch& batch,
                                                           const IngestSettings& settings) {
  const PayloadUse use =
      settings.mode == IngestMode::kLand ? PayloadUse::kKeptAsFile : PayloadUse::kDecodedOnce;
  return EncodeBatch(batch, settings.payload_format, use);
}

arrow::Status PushSliced(const std::shared_ptr<arrow::RecordBatch>& batch,
                         const IngestSettings& settings, IngestUpload& upload);

// Queues one batch's encoding; one that would pass the frame ceiling is
// dropped and the batch encoded again in halves until each one fits.
arrow::Status PushEncoded(const std::shared_ptr<arrow::RecordBatch>& batch,
                          arrow::Result<std::shared_ptr<arrow::Buffer>> encoded,
                          const IngestSettings& settings, IngestUpload& upload) {
  if (!encoded.ok()) return UploadFailure(encoded.status().message());
  if ((*encoded)->size() > kMaxBatchPayload) {
    if (batch->num_rows() < 2) {
      return Failure(FailureKind::kInvalidArgument, "22023",
                     "ingest: one row encodes to " + std::to_string((*encoded)->size()) +
                         " bytes, more than one upload frame carries (256 MiB)");
    }
    encoded->reset();  // freed before the halves are encoded
    const int64_t half = batch->num_rows() / 2;
    ARROW_RETURN_NOT_OK(PushSliced(batch->Slice(0, half), settings, upload));
    return PushSliced(batch->Slice(half), settings, upload);
  }
  if (!upload.PushBatch((*encoded)->data(), static_cast<size_t>((*encoded)->size())).ok()) {
    return UploadFailure(OrDefault(upload.ErrorText(), "zv_ingest_push_batch failed"));
  }
  return arrow::Status::OK();
}

// Encodes and queues one batch on this thread.
arrow::Status PushSliced(const std::shared_ptr<arrow::RecordBatch>& batch,
                         const IngestSettings& settings, IngestUpload& upload) {
  return PushEncoded(batch, EncodeForRun(*batch, settings), settings, upload);
}

// Cuts a batch whose buffers alone pass half the frame ceiling into row
// ranges of about a quarter of it before anything is encoded, so a huge batch
// never has a huge encoding in memory; the encoder takes each piece in order.
arrow::Status AddInFramePieces(const std::shared_ptr<arrow::RecordBatch>& batch,
                               OrderedEncoder& encoder) {
  auto size = arrow::util::ReferencedBufferSize(*batch);
  const int64_t bytes = size.ok() ? *size : 0;
  if (bytes <= kMaxBatchPayload / 2) return encoder.Add(batch);
  const int64_t pieces = bytes / (kMaxBatchPayload / 4) + 1;
  const int64_t rows = std::max<int64_t>(1, batch->num_rows() / pieces);
  for (int64_t offset = 0; offset < batch->num_rows(); offset += rows) {
    ARROW_RETURN_NOT_OK(encoder.Add(batch->Slice(offset, rows)));
  }
  return arrow::Status::OK();
}

// What the host's Cancel means for the load it is running.
class LoadCancellation {
 public:
  explicit LoadCancellation(const std::shared_ptr<CancelScope>& scope)
      : scope_(scope), generation_(scope ? scope->generation() : 0) {}
  arrow::Status Check() const {
    if (!scope_ || scope_->generation() == generation_) return arrow::Status::OK();
    return Failure(FailureKind::kCancelled, "57014",
                   "ingest: the load was cancelled; nothing was loaded");
  }

 private:
  const std::shared_ptr<CancelScope>& scope_;
  const uint64_t generation_;
};

// A load that appends to a table which may already exist: create_append,
// and append itself.
bool AppendsToExistingTable(const IngestSettings& settings) {
  return settings.mode == IngestMode::kAppend && settings.target_table &&
         (settings.creation == TableCreation::kNone ||
          settings.creation == TableCreation::kCreateIfMissing);
}

// The columns of the existing target as compute sees them; null when the
// table does not exist or compute cannot say (the service then decides as
// it loads). Fails only when the host cancelled the run.
arrow::Result<std::shared_ptr<arrow::Schema>> ExistingTableSchema(
    const std::shared_ptr<zv_conn>& conn, const std::string& quoted_table,
    const std::shared_ptr<CancelScope>& scope) {
  QuerySpec spec;
  spec.sql = "SELECT * FROM " + quoted_table + " LIMIT 0";
  if (scope) spec.cancel_scopes.push_back(scope);
  auto started = StartQuery(conn, std::move(spec));
  if (!started.ok()) return nullptr;
  ZVQueryPtr query = std::move(*started);
  std::string error;
  while (zv_next_batch(query.get(), &error)) {
  }
  if (error.empty()) return query->KnownSchema();
  arrow::Status failure = QueryFailure(query.get());
  const FailureDetail* detail = FailureDetailOf(failure);
  if (detail != nullptr && detail->kind() == FailureKind::kCancelled) return failure;
  return nullptr;
}

// Refuses, before any row is sent, a load onto an existing table that does
// not have the bound data's columns.
arrow::Status CheckExistingTarget(const std::shared_ptr<zv_conn>& conn,
                                  const IngestSettings& settings, const arrow::Schema& data,
                                  const std::shared_ptr<CancelScope>& scope) {
  if (!AppendsToExistingTable(settings)) return arrow::Status::OK();
  const std::string quoted = TableName::FromSettings(settings).Quoted();
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Schema> existing,
                        ExistingTableSchema(conn, quoted, scope));
  if (!existing) return arrow::Status::OK();
  return CheckAppendTarget(data, *existing, quoted);
}

// Reads, encodes and queues every non-empty batch, counting the rows taken.
// Parquet batches are encoded on the CPU pool, a few at once; every batch is
// queued in the order the host's stream gave them. Any failure, an
// encoding's included, is returned before EOS is queued; the caller's handle
// then cancels the upload, so the service loads nothing.
arrow::Status ProduceBatches(arrow::RecordBatchReader& reader, const IngestSettings& settings,
                             IngestUpload& upload, ExecProgress& progress,
                             const LoadCancellation& cancellation) {
  if (PayloadCodecFor(settings.payload_format).sends_schema) {
    auto schema = EncodeSchemaIpc(*reader.schema());
    if (!schema.ok())
      return UploadFailure("encode_schema_ipc failed: " + schema.status().message());
    if (!upload.PushSchema((*schema)->ToString()).ok()) {
      return UploadFailure(OrDefault(upload.ErrorText(), "zv_ingest_push_schema failed"));
    }
  }
  OrderedEncoder encoder(
      [&settings](const arrow::RecordBatch& batch) { return EncodeForRun(batch, settings); },
      PayloadCodecFor(settings.payload_format).encodes_in_parallel
          ? OrderedEncoder::InFlightForLoads(IngestUpload::kMaxQueuedFrames)
          : 1,
      [&](const std::shared_ptr<arrow::RecordBatch>& piece,
          arrow::Result<std::shared_ptr<arrow::Buffer>> encoded) {
        return PushEncoded(piece, std::move(encoded), settings, upload);
      });
  while (true) {
    ARROW_RETURN_NOT_OK(cancellation.Check());
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Status read = reader.ReadNext(&batch);
    if (!read.ok()) {
      return Failure(FailureKind::kInvalidArgument, "22023",
                     "AdbcStatementExecuteQuery: reading the bound data: " + read.message());
    }
    if (!batch) return encoder.Finish();
    if (batch->num_rows() == 0) continue;
    if (settings.mode != IngestMode::kLand) ARROW_RETURN_NOT_OK(CheckMicrosecondValues(*batch));
    ARROW_RETURN_NOT_OK(AddInFramePieces(batch, encoder));
    // Counted once the load has taken the batch, as the host sees it go: its
    // encoding may still be running, and the load fails whole if it fails.
    progress.AddRows(batch->num_rows());
  }
}

}  // namespace

arrow::Status RunIngest(const std::shared_ptr<zv_conn>& conn, const IngestSettings& settings,
                        OwnedArrowStream& bound, int64_t* rows_affected,
                        const std::shared_ptr<CancelScope>& scope) {
  // The importer takes the stream over even when it fails; the slot is
  // emptied either way so nothing is released twice.
  auto imported = arrow::ImportRecordBatchReader(bound.get());
  bound.Reset();
  if (!imported.ok()) {
    return Failure(
        FailureKind::kInvalidArgument, "22023",
        "AdbcStatementExecuteQuery: importing the bound data: " + imported.status().message());
  }
  std::shared_ptr<arrow::RecordBatchReader> reader = std::move(*imported);
  ARROW_RETURN_NOT_OK(CheckCombination(settings));
  if (settings.mode != IngestMode::kLand)
    ARROW_RETURN_NOT_OK(CheckLoadableSchema(*reader->schema()));
  ARROW_RETURN_NOT_OK(PayloadCodecFor(settings.payload_format).check_schema(*reader->schema()));
  ARROW_ASSIGN_OR_RAISE(IngestRequest request, RequestOf(settings, *reader->schema()));
  const LoadCancellation cancellation(scope);
  ARROW_RETURN_NOT_OK(CheckExistingTarget(conn, settings, *reader->schema(), scope));
  ARROW_RETURN_NOT_OK(cancellation.Check());
  auto progress = std::make_shared<ExecProgress>();
  if (scope) scope->Track(progress);

  auto begun = IngestUpload::Begin(conn, std::move(request));
  if (!begun.ok())
    return UploadFailure(OrDefault(begun.status().message(), "zv_ingest_begin failed"));
  std::unique_ptr<IngestUpload> upload = std::move(*begun);
  arrow::Status produced;
  {
    // A push waiting for room on a slow server wakes at the host's Cancel.
    const ScopedStop stop(scope, [raw = upload.get()] { raw->Interrupt(); });
    produced = ProduceBatches(*reader, settings, *upload, *progress, cancellation);
  }
  // Past this point EOS may go out and the load's fate is the server's, so a
  // Cancel no longer reaches the upload. One that came before, even during
  // the last read of the host's stream, still leaves the load absent.
  if (produced.ok()) produced = cancellation.Check();
  if (!produced.ok()) {
    upload->Cancel();
    // A server that refused the load early stopped reading the upload; its
    // reason is the one to report, not the aborted push.
    arrow::Status refusal = upload->FailureBeforeCancel();
    if (!refusal.ok()) return refusal;
    // A push the host's Cancel woke failed for that reason.
    arrow::Status cancelled = cancellation.Check();
    if (!cancelled.ok()) produced = cancelled;
    ZV_LOG(kLogWarn, "api", "ingest cancelled: %s", produced.message().c_str());
    return produced;
  }
  IngestSummary summary;
  ARROW_RETURN_NOT_OK(upload->Finish(&summary));
  progress->Complete();
  ZV_LOG(kLogInfo, "api",
         "ingest committed (inserted=%lld, updated=%lld, deleted=%lld, version=%lld, replay=%d)",
         static_cast<long long>(summary.rows_inserted),
         static_cast<long long>(summary.rows_updated), static_cast<long long>(summary.rows_deleted),
         static_cast<long long>(summary.commit_version), summary.idempotent_replay ? 1 : 0);
  if (!summary.counts_known) {
    ZV_LOG(kLogWarn, "api",
           "ingest succeeded but its statistics could not be read; rows affected unknown");
  }
  if (rows_affected != nullptr) {
    *rows_affected = summary.counts_known
                         ? summary.rows_inserted + summary.rows_updated + summary.rows_deleted
                         : -1;
  }
  return arrow::Status::OK();
}

}  // namespace zv
