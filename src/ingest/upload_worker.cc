#include "ingest/upload_worker_internal.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/log.h"
#include "ingest/payload_encoder_internal.h"
#include "stream/frame.h"
#include "transport/http_client.h"
#include "transport/http_request.h"
#include "transport/tls_config.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/failure.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kMessageBytes = 512;

arrow::Status BeginFailure(const std::string& message) { return arrow::Status::Invalid(message); }

}  // namespace

IngestUpload::IngestUpload(std::shared_ptr<zv_conn> conn, IngestRequest request)
    : conn_(std::move(conn)), request_(std::move(request)) {}

arrow::Result<std::unique_ptr<IngestUpload>> IngestUpload::Begin(std::shared_ptr<zv_conn> conn,
                                                                 IngestRequest request) {
  if (!conn) return BeginFailure("zv_ingest_begin: conn is NULL");
  if (conn->session_token.empty()) {
    return BeginFailure("zv_ingest_begin: connection has no session token");
  }
  const IngestMode mode = request.mode;
  if (mode != IngestMode::kLand && request.target_table.empty()) {
    return BeginFailure("zv_ingest_begin: target_table required for append/upsert/overwrite");
  }
  if (mode == IngestMode::kUpsert && request.key_columns.empty()) {
    return BeginFailure("zv_ingest_begin: key_columns required for upsert mode");
  }
  const PayloadCodec& codec = PayloadCodecFor(request.payload_format);
  if (mode == IngestMode::kUpsert && !codec.supports_upsert) {
    return BeginFailure(
        Format("zv_ingest_begin: payload_format=%s does not support mode=upsert", codec.name));
  }
  if (mode == IngestMode::kLand && request.target_location.empty()) {
    return BeginFailure("zv_ingest_begin: target_location required for land mode");
  }
  return std::unique_ptr<IngestUpload>(new IngestUpload(std::move(conn), std::move(request)));
}

IngestUpload::~IngestUpload() { Cancel(); }

std::string IngestUpload::ErrorText() const {
  std::lock_guard<std::mutex> guard(queue_.mutex());
  return error_.message();
}

void IngestUpload::RecordError(const arrow::Status& failure, bool only_if_empty) {
  std::lock_guard<std::mutex> guard(queue_.mutex());
  if (only_if_empty && !error_.ok()) return;
  error_ = failure.WithMessage(Bounded(failure.message(), kMessageBytes));
}

arrow::Status IngestUpload::PushSchema(std::string bytes) {
  if (!PayloadCodecFor(request_.payload_format).sends_schema) return arrow::Status::OK();
  if (bytes.empty()) {
    RecordError(arrow::Status::Invalid("zv_ingest_push_schema: empty schema"), false);
    return arrow::Status::Invalid(ErrorText());
  }
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    if (!header_sent_) {
      schema_ipc_ = std::move(bytes);
      return arrow::Status::OK();
    }
  }
  RecordError(
      arrow::Status::Invalid("zv_ingest_push_schema must be called before first push_batch"),
      false);
  return arrow::Status::Invalid(ErrorText());
}

arrow::Status IngestUpload::StartUpload() {
  const std::string header = BuildIngestHeader(request_, schema_ipc_);
  ARROW_ASSIGN_OR_RAISE(
      std::vector<uint8_t> init,
      zv_frame_encode(kZvFrameInit, reinterpret_cast<const uint8_t*>(header.data()),
                      header.size()));
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    queue_.Push(std::move(init));
    header_sent_ = true;
  }
  queue_.NotifyConsumer();
  worker_ = std::thread([this] { RunWorker(); });
  return arrow::Status::OK();
}

arrow::Status IngestUpload::PushBatch(const uint8_t* bytes, size_t count) {
  auto fail = [this](const char* text) {
    RecordError(arrow::Status::IOError(text), false);
    return arrow::Status::IOError(ErrorText());
  };
  if (bytes == nullptr || count == 0) return fail("zv_ingest_push_batch: empty payload");
  bool need_start = false;
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    if (cancelled_) return arrow::Status::IOError("zv_ingest_push_batch: ingest was cancelled");
    need_start = !header_sent_;
  }
  if (need_start) {
    if (PayloadCodecFor(request_.payload_format).sends_schema && schema_ipc_.empty()) {
      return fail("zv_ingest_push_batch: arrow_ipc requires zv_ingest_push_schema first");
    }
    ARROW_RETURN_NOT_OK(StartUpload());
  }
  // Result-set index and reserved word, then the payload (not zero-filled
  // first: a payload is megabytes).
  std::vector<uint8_t> payload;
  payload.reserve(8 + count);
  payload.insert(payload.end(), 8, 0);
  payload.insert(payload.end(), bytes, bytes + count);
  auto frame = zv_frame_encode(kZvFrameBatch, payload.data(), payload.size());
  if (!frame.ok()) return fail(frame.status().message().c_str());
  payload = {};
  {
    auto guard = queue_.Acquire();
    if (!queue_.WaitForSpace(guard, 0, [this] { return cancelled_ || worker_done_; })) {
      if (error_.ok()) {
        error_ =
            arrow::Status::IOError("zv_ingest_push_batch: worker terminated before frame accepted");
      }
      return arrow::Status::IOError(error_.message());
    }
    queue_.Push(std::move(*frame));
  }
  queue_.NotifyConsumer();
  return arrow::Status::OK();
}

void IngestUpload::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

namespace {

// The ingest service's verdict on a failed load, with the run's message size.
arrow::Status Refused(std::string message, std::string_view sqlstate) {
  if (message.empty()) message = "ingest failed";
  return IngestRefusal(sqlstate, Bounded(std::move(message), kMessageBytes));
}

}  // namespace

arrow::Status IngestUpload::Finish(IngestSummary* summary) {
  *summary = IngestSummary{};
  auto fail = [](std::string message, const char* sqlstate) {
    return Refused(std::move(message), sqlstate);
  };
  bool need_start;
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    if (cancelled_) return fail("Ingest cancelled by client", "HY000");
    need_start = !header_sent_;
  }
  if (need_start) {
    if (PayloadCodecFor(request_.payload_format).sends_schema && schema_ipc_.empty()) {
      return fail("zv_ingest_finish: arrow_ipc ingest with no schema and no batches", "22023");
    }
    arrow::Status started = StartUpload();
    if (!started.ok()) return fail(started.message(), "HY000");
  }
  const uint8_t eos_payload[4] = {0, 0, 0, 0};
  auto eos = zv_frame_encode(kZvFrameEos, eos_payload, sizeof(eos_payload));
  if (!eos.ok()) {
    Cancel();
    return fail(eos.status().message(), "HY000");
  }
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    queue_.Push(std::move(*eos));
    finished_ = true;
  }
  queue_.NotifyConsumer();
  JoinWorker();
  return ReadOutcome(summary);
}

arrow::Status IngestUpload::ReadOutcome(IngestSummary* summary) {
  *summary = IngestSummary{};
  // A load whose transfer broke is reported as one the service never took.
  if (!transport_status_.ok()) return Refused(ErrorText(), "08001");
  if (http_status_ != 200) {
    // What the status says (a refused token, a service out of capacity);
    // any other status is a failure the load cannot say more about.
    const std::string_view said = SqlStateOfHttpStatus(http_status_);
    RecordError(arrow::Status::IOError(Format("ingest returned HTTP %ld", http_status_)), true);
    return Refused(ErrorText(), said.empty() ? "HY000" : said);
  }
  switch (ScanIngestResponse(response_, summary)) {
    case IngestAnswer::kNone:
      return Refused("ingest: server response had no STATS or ERROR frame", "08006");
    case IngestAnswer::kError: return Refused(summary->message, summary->sqlstate);
    case IngestAnswer::kStats: return arrow::Status::OK();
  }
  return Refused({}, "HY000");
}

void IngestUpload::Cancel() {
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    if (finished_ && !worker_.joinable()) return;  // already joined by Finish
    MarkCancelled();
  }
  queue_.NotifyAll();
  JoinWorker();
  RecordError(arrow::Status::Cancelled("Ingest cancelled by client"), true);
}

void IngestUpload::Interrupt() {
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    MarkCancelled();
  }
  queue_.NotifyAll();
}

void IngestUpload::MarkCancelled() {
  if (cancelled_) return;  // the first says whether the worker had ended before
  worker_done_before_cancel_ = worker_done_;
  cancelled_ = true;
}

bool IngestUpload::TakeNextFrame(bool* abort) {
  std::vector<uint8_t> frame;
  {
    auto guard = queue_.Acquire();
    // A cancelled run stops at once: whatever is still queued must not reach
    // the server, which never sees EOS and so loads nothing.
    queue_.WaitForItems(guard, [this] {
      return !queue_.empty() || finished_ || cancelled_ || conn_->released.load();
    });
    *abort = cancelled_ || conn_->released.load();
    if (*abort || queue_.empty()) return false;  // aborted, or finished and everything sent
    frame = queue_.Pop();
  }
  queue_.NotifyProducer();
  if (resendable_ && sent_bytes_ + frame.size() > kMaxResendBytes) resendable_ = false;
  if (!resendable_) {
    sent_.clear();
    sent_bytes_ = 0;
    cursor_frame_ = 0;
  }
  sent_bytes_ += frame.size();
  sent_.push_back(std::move(frame));
  return true;
}

size_t IngestUpload::ReadFrames(char* buffer, size_t wanted) {
  size_t copied = 0;
  while (copied < wanted) {
    if (cursor_frame_ < sent_.size()) {
      const std::vector<uint8_t>& frame = sent_[cursor_frame_];
      const size_t n = std::min(wanted - copied, frame.size() - read_offset_);
      std::memcpy(buffer + copied, frame.data() + read_offset_, n);
      read_offset_ += n;
      copied += n;
      if (read_offset_ == frame.size()) {
        ++cursor_frame_;
        read_offset_ = 0;
      }
      continue;
    }
    bool abort = false;
    if (!TakeNextFrame(&abort)) {
      if (abort) return HttpRequest::kAbortUpload;
      break;
    }
  }
  return copied;
}

// The request rewinds when a pooled connection turns out dead before the server
// answered; the upload then starts again on a fresh connection.
bool IngestUpload::RewindFrames() {
  if (!resendable_) return false;
  ZV_LOG(kLogInfo, "transport", "ingest upload: sending its first %zu frames again", sent_.size());
  cursor_frame_ = 0;
  read_offset_ = 0;
  return true;
}

arrow::Status IngestUpload::FailureBeforeCancel() {
  // Only read once the worker has been joined: it owns response_ until then.
  if (!worker_done_) return arrow::Status::OK();
  IngestSummary summary;
  // A worker that ended on its own has the whole story; one stopped by Cancel
  // was aborted by us, and only an ERROR frame it already read is the server's.
  if (worker_done_before_cancel_) return ReadOutcome(&summary);
  if (ScanIngestResponse(response_, &summary) != IngestAnswer::kError) return arrow::Status::OK();
  return Refused(summary.message, summary.sqlstate);
}

bool IngestUpload::AppendResponse(std::string_view chunk) {
  if (response_.size() + chunk.size() > kMaxResponseBytes) {
    response_too_large_ = true;
    return false;  // aborts the transfer
  }
  response_.append(chunk);
  return true;
}

void IngestUpload::RunWorker() {
  try {
    PerformTransfer();
  } catch (const std::exception& e) {
    RecordError(arrow::Status::IOError(std::string("zv_ingest worker: ") + e.what()), true);
    if (transport_status_.ok()) transport_status_ = arrow::Status::IOError(e.what());
  }
  {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    worker_done_ = true;
  }
  queue_.NotifyProducer();
}

void IngestUpload::RestartFromFirstFrame() {
  response_.clear();
  http_status_ = 0;
  transport_status_ = arrow::Status::OK();
  cursor_frame_ = 0;
  read_offset_ = 0;
}

// Both retries resend the kept frames, never the host's data read again, and
// each happens at most once: a dead pooled connection is replaced by a fresh
// one, and a refused token (401: the service took none of the upload) by a
// fresh login, after which a second refusal is final.
void IngestUpload::PerformTransfer() {
  const SecretString token = conn_->session_token.Copy();
  UploadOutcome outcome = SendUpload(token, /*fresh_connection=*/false);
  if (outcome == UploadOutcome::kDeadPooledConnection) {
    ZV_LOG(kLogInfo, "transport",
           "ingest upload: pooled connection was closed by the server; "
           "sending again on a fresh connection");
    RestartFromFirstFrame();
    outcome = SendUpload(token, /*fresh_connection=*/true);
  }
  if (outcome != UploadOutcome::kAnswered || http_status_ != 401 || !resendable_) return;
  const arrow::Status fresh = zv_refresh_session_token(
      conn_.get(), token, Format("ingest returned HTTP %ld", http_status_));
  if (!fresh.ok()) {
    RecordError(fresh, false);
    return;
  }
  RestartFromFirstFrame();
  SendUpload(conn_->session_token.Copy(), /*fresh_connection=*/false);
}

arrow::Result<HttpRequest> IngestUpload::UploadRequest(const std::string& url,
                                                       const SecretString& token,
                                                       bool fresh_connection) {
  const zv_conn& conn = *conn_;
  ARROW_ASSIGN_OR_RAISE(HttpRequest request, HttpRequest::Make(url));
  ARROW_RETURN_NOT_OK(request.AddHeader("Content-Type: application/vnd.zorvane.stream.v1"));
  ARROW_RETURN_NOT_OK(request.AddHeader("Accept: application/vnd.zorvane.stream.v1"));
  ARROW_RETURN_NOT_OK(request.AddBearerToken(token.view()));
  ARROW_RETURN_NOT_OK(request.AddHeader("Transfer-Encoding: chunked"));
  ARROW_RETURN_NOT_OK(request.AddHeader("Expect:"));
  request.SetStreamedUpload(
      [this](char* buffer, size_t wanted) { return ReadFrames(buffer, wanted); },
      [this] { return RewindFrames(); });
  if (fresh_connection) request.SetFreshConnection();
  request.SetReceiver([this](long, std::string_view chunk) { return AppendResponse(chunk); });
  // The upload goes through the same policy as every other request of the
  // connection: pool, time-outs, keep-alive, User-Agent, proxy and TLS.
  request.SetConnection(&conn.options, conn.share_handle(), conn.user_agent);
  request.SetStallTimeout(300);
  request.SetTls(&conn.tls);
  // A cancelled upload also stops while the server is not reading it, when
  // libcurl would not ask for the next frame.
  request.SetAbortCheck([this] {
    std::lock_guard<std::mutex> guard(queue_.mutex());
    return cancelled_ || conn_->released.load();
  });
  return request;
}

IngestUpload::UploadOutcome IngestUpload::TransferFailed(const arrow::Status& failure,
                                                         bool fresh_connection) {
  transport_status_ = failure;
  const TransferError kind = TransferErrorOf(failure).value_or(TransferError::kOther);
  const bool released = conn_->released.load();
  if (!fresh_connection && resendable_ && kind == TransferError::kDiedUnused && !released) {
    return UploadOutcome::kDeadPooledConnection;
  }
  if (kind == TransferError::kRedirectRefused) {
    RecordError(failure, false);
  } else if (response_too_large_) {
    RecordError(failure.WithMessage("ingest transport: response larger than 16 MiB"), false);
  } else if (kind == TransferError::kAborted && released) {
    RecordError(
        failure.WithMessage("ingest transport: the connection was released during the upload"),
        false);
  } else {
    RecordError(WithTransferContext(failure, "ingest transport: "), false);
  }
  return UploadOutcome::kFailed;
}

IngestUpload::UploadOutcome IngestUpload::SendUpload(const SecretString& token,
                                                     bool fresh_connection) {
  if (conn_->compute_url.empty()) {
    const char* message = "zv_ingest worker: connection has no compute URL";
    transport_status_ = arrow::Status::IOError(message);
    RecordError(transport_status_, false);
    return UploadOutcome::kFailed;
  }
  const std::string url =
      std::string(StripTrailingSlashes(conn_->compute_url)) + "/api/v1/ingest/stream";
  ZV_LOG(kLogInfo, "transport", "ingest upload: POST %s (mode=%s, format=%s)", url.c_str(),
         IngestModeName(request_.mode), PayloadFormatName(request_.payload_format));
  auto request = UploadRequest(url, token, fresh_connection);
  if (!request.ok()) return TransferFailed(request.status(), fresh_connection);
  auto status = request->Perform();
  if (!status.ok()) return TransferFailed(status.status(), fresh_connection);
  http_status_ = *status;
  transport_status_ = arrow::Status::OK();
  return UploadOutcome::kAnswered;
}

}  // namespace zv
