#include "ingest/upload_worker.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

#include "diagnostics/log.h"
#include "stream/frame.h"
#include "transport/curl_handles.h"
#include "transport/redirect_policy.h"
#include "transport/http_client.h"
#include "transport/tls_policy.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kMessageBytes = 512;

arrow::Status BeginFailure(const char* message) { return arrow::Status::Invalid(message); }

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
  if (mode == IngestMode::kUpsert && request.payload_format == PayloadFormat::kParquet) {
    return BeginFailure("zv_ingest_begin: payload_format=parquet does not support mode=upsert");
  }
  if (mode == IngestMode::kLand && request.target_location.empty()) {
    return BeginFailure("zv_ingest_begin: target_location required for land mode");
  }
  return std::unique_ptr<IngestUpload>(new IngestUpload(std::move(conn), std::move(request)));
}

IngestUpload::~IngestUpload() { Cancel(); }

std::string IngestUpload::ErrorText() const {
  std::lock_guard<std::mutex> guard(lock_);
  return error_;
}

void IngestUpload::RecordError(std::string text, bool only_if_empty) {
  std::lock_guard<std::mutex> guard(lock_);
  if (only_if_empty && !error_.empty()) return;
  error_ = Bounded(std::move(text), kMessageBytes);
}

arrow::Status IngestUpload::PushSchema(std::string bytes) {
  if (request_.payload_format == PayloadFormat::kParquet) return arrow::Status::OK();
  if (bytes.empty()) {
    RecordError("zv_ingest_push_schema: empty schema", false);
    return arrow::Status::Invalid(ErrorText());
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!header_sent_) {
      schema_ipc_ = std::move(bytes);
      return arrow::Status::OK();
    }
  }
  RecordError("zv_ingest_push_schema must be called before first push_batch", false);
  return arrow::Status::Invalid(ErrorText());
}

arrow::Status IngestUpload::StartUpload() {
  const std::string header = BuildIngestHeader(request_, schema_ipc_);
  ARROW_ASSIGN_OR_RAISE(std::vector<uint8_t> init,
                        zv_frame_encode(kZvFrameInit,
                                        reinterpret_cast<const uint8_t*>(header.data()),
                                        header.size()));
  {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(std::move(init));
    header_sent_ = true;
  }
  data_available_.notify_one();
  worker_ = std::thread([this] { RunWorker(); });
  return arrow::Status::OK();
}

arrow::Status IngestUpload::PushBatch(const uint8_t* bytes, size_t count) {
  auto fail = [this](const char* text) {
    RecordError(text, false);
    return arrow::Status::IOError(ErrorText());
  };
  if (bytes == nullptr || count == 0) return fail("zv_ingest_push_batch: empty payload");
  bool need_start = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) return arrow::Status::IOError("zv_ingest_push_batch: ingest was cancelled");
    need_start = !header_sent_;
  }
  if (need_start) {
    if (request_.payload_format == PayloadFormat::kArrowIpc && schema_ipc_.empty()) {
      return fail("zv_ingest_push_batch: arrow_ipc requires zv_ingest_push_schema first");
    }
    ARROW_RETURN_NOT_OK(StartUpload());
  }
  // Result-set index and reserved word, then the payload.
  std::vector<uint8_t> payload(8 + count, 0);
  std::memcpy(payload.data() + 8, bytes, count);
  auto frame = zv_frame_encode(kZvFrameBatch, payload.data(), payload.size());
  if (!frame.ok()) return fail(frame.status().message().c_str());
  payload = {};
  {
    std::unique_lock<std::mutex> guard(lock_);
    space_available_.wait(guard, [this] {
      return queue_.size() < kMaxQueuedFrames || cancelled_ || worker_done_;
    });
    if (cancelled_ || worker_done_) {
      if (error_.empty()) error_ = "zv_ingest_push_batch: worker terminated before frame accepted";
      return arrow::Status::IOError(error_);
    }
    queue_.push_back(std::move(*frame));
  }
  data_available_.notify_one();
  return arrow::Status::OK();
}

void IngestUpload::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

bool IngestUpload::Finish(IngestSummary* summary) {
  *summary = IngestSummary{};
  auto fail = [summary](std::string message, const char* sqlstate) {
    summary->message = Bounded(std::move(message), kMessageBytes);
    summary->sqlstate = sqlstate;
    return false;
  };
  bool need_start;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (cancelled_) return fail("Ingest cancelled by client", "HY000");
    need_start = !header_sent_;
  }
  if (need_start) {
    if (request_.payload_format == PayloadFormat::kArrowIpc && schema_ipc_.empty()) {
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
    std::lock_guard<std::mutex> guard(lock_);
    queue_.push_back(std::move(*eos));
    finished_ = true;
  }
  data_available_.notify_all();
  JoinWorker();

  if (transport_result_ != 0) return fail(ErrorText(), "08001");
  if (http_status_ != 200) {
    RecordError(Format("ingest returned HTTP %ld", http_status_), true);
    const char* sqlstate = http_status_ == 401 ? "28000" : http_status_ == 503 ? "53000" : "HY000";
    return fail(ErrorText(), sqlstate);
  }
  switch (ScanIngestResponse(response_, summary)) {
    case IngestAnswer::kNone:
      return fail("ingest: server response had no STATS or ERROR frame", "08006");
    case IngestAnswer::kError:
      summary->message = Bounded(std::move(summary->message), kMessageBytes);
      return false;
    case IngestAnswer::kStats:
      return true;
  }
  return false;
}

void IngestUpload::Cancel() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (finished_ && !worker_.joinable()) return;  // already joined by Finish
    cancelled_ = true;
  }
  data_available_.notify_all();
  space_available_.notify_all();
  JoinWorker();
  RecordError("Ingest cancelled by client", true);
}

bool IngestUpload::TakeNextFrame(bool* abort) {
  std::vector<uint8_t> frame;
  {
    std::unique_lock<std::mutex> guard(lock_);
    // A cancelled run stops at once: whatever is still queued must not reach
    // the server, which never sees EOS and so loads nothing.
    data_available_.wait(guard, [this] {
      return !queue_.empty() || finished_ || cancelled_ || conn_->released.load();
    });
    *abort = cancelled_ || conn_->released.load();
    if (*abort || queue_.empty()) return false;  // aborted, or finished and everything sent
    frame = std::move(queue_.front());
    queue_.pop_front();
  }
  space_available_.notify_one();
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

size_t IngestUpload::ReadFrames(char* buffer, size_t size, size_t count, void* self) {
  auto* upload = static_cast<IngestUpload*>(self);
  const size_t wanted = size * count;
  size_t copied = 0;
  while (copied < wanted) {
    if (upload->cursor_frame_ < upload->sent_.size()) {
      const std::vector<uint8_t>& frame = upload->sent_[upload->cursor_frame_];
      const size_t n = std::min(wanted - copied, frame.size() - upload->read_offset_);
      std::memcpy(buffer + copied, frame.data() + upload->read_offset_, n);
      upload->read_offset_ += n;
      copied += n;
      if (upload->read_offset_ == frame.size()) {
        ++upload->cursor_frame_;
        upload->read_offset_ = 0;
      }
      continue;
    }
    bool abort = false;
    if (!upload->TakeNextFrame(&abort)) {
      if (abort) return CURL_READFUNC_ABORT;
      break;
    }
  }
  return copied;
}

// libcurl rewinds when a pooled connection turns out dead before the server
// answered; the upload then starts again on a fresh connection.
int IngestUpload::RewindFrames(void* self, curl_off_t offset, int origin) {
  auto* upload = static_cast<IngestUpload*>(self);
  if (offset != 0 || origin != SEEK_SET || !upload->resendable_) return CURL_SEEKFUNC_CANTSEEK;
  ZV_LOG(kLogInfo, "transport", "ingest upload: sending its first %zu frames again",
         upload->sent_.size());
  upload->cursor_frame_ = 0;
  upload->read_offset_ = 0;
  return CURL_SEEKFUNC_OK;
}

bool IngestUpload::ServerRefused(IngestSummary* summary) const {
  // Only read once the worker has been joined: it owns response_ until then.
  return worker_done_ && ScanIngestResponse(response_, summary) == IngestAnswer::kError;
}

size_t IngestUpload::AppendResponse(char* data, size_t size, size_t count, void* self) {
  auto* upload = static_cast<IngestUpload*>(self);
  const size_t n = size * count;
  if (upload->response_.size() + n > kMaxResponseBytes) {
    upload->response_too_large_ = true;
    return 0;  // aborts the transfer
  }
  try {
    upload->response_.append(data, n);
  } catch (...) {
    return 0;  // nothing may unwind through libcurl; aborting reports the failure
  }
  return n;
}

void IngestUpload::RunWorker() {
  try {
    PerformTransfer();
  } catch (const std::exception& e) {
    RecordError(std::string("zv_ingest worker: ") + e.what(), true);
    if (transport_result_ == 0) transport_result_ = CURLE_OUT_OF_MEMORY;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    worker_done_ = true;
  }
  space_available_.notify_all();
}

namespace {

// A pooled connection the server had closed while it sat idle fails at the
// first send or read, before any answer: the server took nothing over it.
bool DiedUnused(CURL* easy, CURLcode rc) {
  if (rc != CURLE_SEND_ERROR && rc != CURLE_RECV_ERROR && rc != CURLE_GOT_NOTHING) return false;
  long new_connections = -1;
  long header_bytes = -1;
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &new_connections);
  curl_easy_getinfo(easy, CURLINFO_HEADER_SIZE, &header_bytes);
  return new_connections == 0 && header_bytes == 0;
}

}  // namespace

void IngestUpload::RestartFromFirstFrame() {
  response_.clear();
  http_status_ = 0;
  transport_result_ = 0;
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
    ZV_LOG(kLogInfo, "transport", "ingest upload: pooled connection was closed by the server; "
                                  "sending again on a fresh connection");
    RestartFromFirstFrame();
    outcome = SendUpload(token, /*fresh_connection=*/true);
  }
  if (outcome != UploadOutcome::kAnswered || http_status_ != 401 || !resendable_) return;
  const arrow::Status fresh = zv_refresh_session_token(
      conn_.get(), token, Format("ingest returned HTTP %ld", http_status_));
  if (!fresh.ok()) {
    RecordError(fresh.message(), false);
    return;
  }
  RestartFromFirstFrame();
  SendUpload(conn_->session_token.Copy(), /*fresh_connection=*/false);
}

IngestUpload::UploadOutcome IngestUpload::SendUpload(const SecretString& token_copy,
                                                     bool fresh_connection) {
  const zv_conn& conn = *conn_;
  CurlEasy easy(curl_easy_init());
  if (!easy) {
    RecordError("curl_easy_init returned NULL", false);
    transport_result_ = 2;
    return UploadOutcome::kFailed;
  }
  if (conn.compute_url.empty()) {
    RecordError("zv_ingest worker: connection has no compute URL", false);
    transport_result_ = 3;
    return UploadOutcome::kFailed;
  }
  const std::string url =
      std::string(StripTrailingSlashes(conn.compute_url)) + "/api/v1/ingest/stream";
  ZV_LOG(kLogInfo, "transport", "ingest upload: POST %s (mode=%s, format=%s)", url.c_str(),
         IngestModeName(request_.mode), PayloadFormatName(request_.payload_format));
  const std::string_view token = token_copy.view();
  if (token.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
    RecordError("session token contains forbidden control characters", false);
    transport_result_ = 3;
    return UploadOutcome::kFailed;
  }
  CurlSlist headers;
  AppendToSlist(headers, "Content-Type: application/vnd.zorvane.stream.v1");
  AppendToSlist(headers, "Accept: application/vnd.zorvane.stream.v1");
  AppendBearerHeader(headers, token);
  AppendToSlist(headers, "Transfer-Encoding: chunked");
  AppendToSlist(headers, "Expect:");

  char error_buffer[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, -1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, &IngestUpload::ReadFrames);
  curl_easy_setopt(h, CURLOPT_READDATA, static_cast<void*>(this));
  curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &IngestUpload::RewindFrames);
  curl_easy_setopt(h, CURLOPT_SEEKDATA, static_cast<void*>(this));
  if (fresh_connection) curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &IngestUpload::AppendResponse);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(this));
  // The upload goes through the same policy as every other request of the
  // connection: pool, time-outs, keep-alive, User-Agent, proxy and TLS.
  const std::string user_agent =
      conn.user_agent.empty() ? UserAgent(&conn.options) : conn.user_agent;
  ApplyConnectionSettings(h, &conn.options, conn.share_handle(), user_agent);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 300L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  RedirectGuard redirects;
  redirects.Install(h);
  CurlSlist connect_to;
  arrow::Status tls = zv_tls_apply_to_curl(h, &conn.tls, url.c_str(), &connect_to);
  if (!tls.ok()) {
    RecordError("TLS configuration: " + tls.message(), false);
    transport_result_ = CURLE_SSL_CONNECT_ERROR;
    return UploadOutcome::kFailed;
  }

  const CURLcode rc = curl_easy_perform(h);
  transport_result_ = static_cast<int>(rc);
  if (rc == CURLE_OK) {
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &http_status_);
    return UploadOutcome::kAnswered;
  }
  if (!fresh_connection && resendable_ && DiedUnused(h, rc) && !conn.released.load()) {
    return UploadOutcome::kDeadPooledConnection;
  }
  if (redirects.refused()) {
    RecordError(redirects.refusal(), false);
  } else if (response_too_large_) {
    RecordError("ingest transport: response larger than 16 MiB", false);
  } else if (rc == CURLE_ABORTED_BY_CALLBACK && conn.released.load()) {
    RecordError("ingest transport: the connection was released during the upload", false);
  } else {
    const std::string detail = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc);
    RecordError("ingest transport: " + detail, false);
  }
  return UploadOutcome::kFailed;
}

}  // namespace zv
