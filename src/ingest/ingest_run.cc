#include "ingest/ingest_run.h"

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "ingest/payload_encoder.h"
#include "ingest/upload_worker.h"

namespace zv {

namespace {

arrow::Status UploadFailure(std::string message) {
  return AdbcFailure(ADBC_STATUS_IO, "HY000", std::move(message));
}

IngestRequest RequestOf(const IngestSettings& settings) {
  IngestRequest request;
  request.mode = settings.mode;
  request.payload_format = settings.payload_format;
  request.target_table = settings.target_table.value_or("");
  request.target_location = settings.target_location.value_or("");
  request.idempotency_key = settings.idempotency_key.value_or("");
  request.key_columns = settings.key_columns;
  request.coerce = settings.coerce;
  return request;
}

std::string OrDefault(std::string text, const char* fallback) {
  return text.empty() ? std::string(fallback) : text;
}

// Reads, encodes and queues every non-empty batch. Any failure is returned
// before EOS is queued; the caller's handle then cancels the upload.
arrow::Status ProduceBatches(arrow::RecordBatchReader& reader, const IngestSettings& settings,
                             IngestUpload& upload) {
  if (settings.payload_format == PayloadFormat::kArrowIpc) {
    auto schema = EncodeSchemaIpc(*reader.schema());
    if (!schema.ok()) return UploadFailure("encode_schema_ipc failed: " + schema.status().message());
    if (!upload.PushSchema((*schema)->ToString()).ok()) {
      return UploadFailure(OrDefault(upload.ErrorText(), "zv_ingest_push_schema failed"));
    }
  }
  while (true) {
    std::shared_ptr<arrow::RecordBatch> batch;
    arrow::Status read = reader.ReadNext(&batch);
    if (!read.ok()) {
      return AdbcFailure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                         "AdbcStatementExecuteUpdate: reader.ReadNext: " + read.message());
    }
    if (!batch) return arrow::Status::OK();
    if (batch->num_rows() == 0) continue;
    auto encoded = EncodeBatch(*batch, settings.payload_format);
    if (!encoded.ok()) return UploadFailure(encoded.status().message());
    if (!upload.PushBatch((*encoded)->data(), static_cast<size_t>((*encoded)->size())).ok()) {
      return UploadFailure(OrDefault(upload.ErrorText(), "zv_ingest_push_batch failed"));
    }
  }
}

}  // namespace

arrow::Status RunIngest(const std::shared_ptr<zv_conn>& conn, const IngestSettings& settings,
                        OwnedArrowStream& bound, int64_t* rows_affected) {
  // The importer takes the stream over even when it fails; the slot is
  // emptied either way so nothing is released twice.
  auto imported = arrow::ImportRecordBatchReader(bound.get());
  bound.Reset();
  if (!imported.ok()) {
    return AdbcFailure(ADBC_STATUS_INVALID_ARGUMENT, "22023",
                       "AdbcStatementExecuteUpdate: ImportRecordBatchReader: " +
                           imported.status().message());
  }
  std::shared_ptr<arrow::RecordBatchReader> reader = std::move(*imported);

  auto begun = IngestUpload::Begin(conn, RequestOf(settings));
  if (!begun.ok()) return UploadFailure(OrDefault(begun.status().message(), "zv_ingest_begin failed"));
  std::unique_ptr<IngestUpload> upload = std::move(*begun);

  arrow::Status produced = ProduceBatches(*reader, settings, *upload);
  if (!produced.ok()) {
    upload->Cancel();
    // A server that refused the load early stopped reading the upload; its
    // reason is the one to report, not the aborted push.
    IngestSummary refusal;
    if (upload->ServerRefused(&refusal)) {
      const IngestFailureCode code = MapIngestSqlstate(OrDefault(refusal.sqlstate, "HY000"));
      return AdbcFailure(code.status, code.sqlstate, OrDefault(refusal.message, "ingest failed"));
    }
    ZV_LOG(kLogWarn, "api", "ingest cancelled: %s", produced.message().c_str());
    return produced;
  }
  IngestSummary summary;
  if (!upload->Finish(&summary)) {
    const IngestFailureCode code = MapIngestSqlstate(OrDefault(summary.sqlstate, "HY000"));
    return AdbcFailure(code.status, code.sqlstate, OrDefault(summary.message, "ingest failed"));
  }
  ZV_LOG(kLogInfo, "api",
         "ingest committed (inserted=%lld, updated=%lld, deleted=%lld, version=%lld, replay=%d)",
         static_cast<long long>(summary.rows_inserted), static_cast<long long>(summary.rows_updated),
         static_cast<long long>(summary.rows_deleted), static_cast<long long>(summary.commit_version),
         summary.idempotent_replay ? 1 : 0);
  if (!summary.counts_known) {
    ZV_LOG(kLogWarn, "api", "ingest succeeded but its statistics could not be read; rows affected unknown");
  }
  if (rows_affected != nullptr) {
    *rows_affected = summary.counts_known
                         ? summary.rows_inserted + summary.rows_updated + summary.rows_deleted
                         : -1;
  }
  return arrow::Status::OK();
}

}  // namespace zv
