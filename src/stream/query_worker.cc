#include "stream/query_worker.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "diagnostics/sql_trace.h"
#include "stream/error_classification.h"
#include "stream/frame.h"
#include "stream/inflight_limits.h"
#include "stream/ipc_decode.h"
#include "transport/curl_handles.h"
#include "transport/redirect_policy.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr uint64_t kMinMaxBatchBytes = 4ull * 1024 * 1024;
constexpr long kReceiveBufferBytes = 524288;
constexpr long kDefaultStallSeconds = 300;

// How long a transfer may go without receiving a byte before it counts as
// stalled. ZV_STREAM_STALL_SEC shortens it (tests, impatient hosts).
long StallSeconds() {
  static const long seconds = [] {
    const char* text = std::getenv("ZV_STREAM_STALL_SEC");
    if (text == nullptr) return kDefaultStallSeconds;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && value > 0) ? value : kDefaultStallSeconds;
  }();
  return seconds;
}
constexpr size_t kMaxErrorBody = 16384;

// State shared by the transfer callbacks of one worker.
struct TransferContext {
  ZVQuery* query = nullptr;
  ZVFrameParser* parser = nullptr;
  CURL* easy = nullptr;
  bool status_read = false;
  bool error_mode = false;
  std::string error_body;
};

const char* FrameTypeName(uint8_t type) {
  switch (type) {
    case kZvFrameInit: return "INIT";
    case kZvFrameBatch: return "BATCH";
    case kZvFrameEos: return "EOS";
    case kZvFrameError: return "ERROR";
    case kZvFrameTrace: return "TRACE";
    default: return "unknown";
  }
}

void HandleInit(ZVQuery* q, const uint8_t* payload, uint64_t length) {
  const auto json = nlohmann::json::parse(payload, payload + length);
  if (!json.is_object()) return;
  auto stream_id = json.find("streamId");
  if (stream_id != json.end() && stream_id->is_string()) {
    std::lock_guard<std::mutex> lock(q->mu);
    q->stream_id = stream_id->get<std::string>();
  }
  auto result_sets = json.find("resultSets");
  if (result_sets == json.end() || result_sets->empty()) return;
  if (result_sets->is_object()) throw std::runtime_error("\"resultSets\" is not an array");
  if (!result_sets->is_array()) return;
  {
    std::lock_guard<std::mutex> lock(q->mu);
    if (result_sets->size() >= 2 && !q->multi_result_notice_given) {
      std::fprintf(stderr,
                   "zor-vane-odbc: multi-statement script returned %zu result sets; v1 only "
                   "surfaces the first.\n",
                   result_sets->size());
      q->multi_result_notice_given = true;
    }
  }
  q->announced_result_sets = static_cast<uint32_t>(
      std::min<size_t>(result_sets->size(), std::numeric_limits<uint32_t>::max()));
  const auto& first = (*result_sets)[0];
  if (!first.is_object()) return;
  auto rows = first.find("rowsAffected");
  if (rows != first.end() && rows->is_number_integer()) {
    std::lock_guard<std::mutex> lock(q->mu);
    q->rows_affected = rows->get<int64_t>();
  }
  auto schema_ipc = first.find("schemaIpc");
  if (schema_ipc != first.end() && schema_ipc->is_string()) {
    if (auto schema = zv_decode_init_schema(schema_ipc->get_ref<const std::string&>())) {
      q->AdoptSchema(std::move(schema));
    }
  }
}

int HandleBatch(ZVQuery* q, const uint8_t* payload, uint64_t length) {
  if (length < 8) {
    q->RecordError("BATCH frame truncated (header < 8 bytes)");
    return 1;
  }
  const uint32_t index = zv_read_be32(payload);
  if (index != 0) {
    std::lock_guard<std::mutex> lock(q->mu);
    if (!q->multi_result_notice_given) {
      std::fprintf(stderr,
                   "zor-vane-odbc: dropped batch for resultSetIndex=%u (v1 only handles index "
                   "0)\n",
                   index);
      q->multi_result_notice_given = true;
    }
    return 0;
  }
  if (length == 8) return 0;
  // A payload the parser assembled in pool memory is decoded in place; one
  // that lies in curl's receive buffer is copied once.
  std::shared_ptr<arrow::Buffer> assembled = zv_frame_take_payload();
  auto decoded = assembled ? zv_ipc_decode_buffer(arrow::SliceBuffer(assembled, 8))
                           : zv_ipc_decode(payload + 8, static_cast<size_t>(length - 8));
  if (!decoded.ok()) {
    q->RecordError("IPC decode (batch): " + decoded.status().ToString());
    return 1;
  }
  if (decoded->batches.empty()) {
    q->Enqueue(std::move(decoded->schema), nullptr);
    return 0;
  }
  for (auto& batch : decoded->batches) {
    if (!q->Enqueue(decoded->schema, std::move(batch))) return 1;
  }
  return 0;
}

std::string ErrorFrameMessage(const uint8_t* payload, uint64_t length) {
  const std::string raw(reinterpret_cast<const char*>(payload), static_cast<size_t>(length));
  auto json = nlohmann::json::parse(raw, nullptr, /*allow_exceptions=*/false);
  if (json.is_object()) {
    for (const char* key : {"message", "error"}) {
      auto it = json.find(key);
      if (it != json.end() && it->is_string()) return it->get<std::string>();
    }
  }
  return raw;
}

size_t WriteCallbackBody(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* ctx = static_cast<TransferContext*>(userdata);
  const size_t bytes = size * nmemb;
  if (ctx->query->cancelled.load()) return 0;
  if (!ctx->status_read) {
    ctx->status_read = true;
    long status = 0;
    curl_easy_getinfo(ctx->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) ctx->error_mode = true;
  }
  if (ctx->error_mode) {
    if (ctx->error_body.size() < kMaxErrorBody) {
      ctx->error_body.append(data, std::min(bytes, kMaxErrorBody - ctx->error_body.size()));
    }
    return bytes;
  }
  return zv_frame_feed(ctx->parser, reinterpret_cast<const uint8_t*>(data), bytes) == 0 ? bytes
                                                                                         : 0;
}

// libcurl is C: nothing may propagate out of its callbacks. Returning 0 aborts
// the transfer, and the worker reports it.
size_t WriteCallback(char* data, size_t size, size_t nmemb, void* userdata) {
  try {
    return WriteCallbackBody(data, size, nmemb, userdata);
  } catch (...) {
    try {
      static_cast<TransferContext*>(userdata)->query->RecordError("out of memory in query worker");
    } catch (...) {
    }
    return 0;
  }
}

int ProgressCallback(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* query = static_cast<ZVQuery*>(userdata);
  if (query->cancelled.load()) return 1;
  if (query->connection->released.load()) {
    // The host released the connection while this result was still streaming.
    query->RecordError(
        "the connection was released while this result stream was still open; the query was "
        "cancelled");
    return 1;
  }
  return 0;
}

// A refusal of the connection's token that came before any result: the
// request may be tried once more with a fresh token.
struct TokenRefusal {
  SecretString token;
  std::string message;
};

// Streams the query's result. With `refusal` given, an HTTP 401 is left
// there instead of being recorded, for the caller to refresh the token.
void PerformTransfer(ZVQuery* q, std::optional<TokenRefusal>* refusal) {
  const zv_conn& conn = *q->connection;
  CurlEasy easy(curl_easy_init());
  if (!easy) {
    q->RecordError("curl_easy_init failed in worker");
    return;
  }
  const std::string url =
      std::string(StripTrailingSlashes(conn.query_url())) + "/api/v1/query/stream/binary";
  ZV_LOG(kLogInfo, "transport", "run_query_worker(q=%p, conn=%p): POST %s (compute_url=%s)",
         static_cast<void*>(q), static_cast<const void*>(&conn), url.c_str(),
         conn.compute_url.empty() ? "(empty->control_plane)" : conn.compute_url.c_str());

  auto body = QueryRequestBody(q->sql, q->max_inflight_bytes, q->max_inflight_batches);
  if (!body.ok()) {
    q->RecordError(body.status().message());
    return;
  }
  const SecretString token_copy = conn.session_token.Copy();
  const std::string_view token = token_copy.view();
  if (token.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
    q->RecordError("session token contains forbidden control characters");
    return;
  }
  CurlSlist headers;
  AppendToSlist(headers, "Content-Type: application/json");
  AppendToSlist(headers, "Accept: application/vnd.zorvane.stream.v1");
  AppendBearerHeader(headers, token);
  AppendToSlist(headers, "X-Zorvane-Client: adbc");
  const std::string node_header =
      conn.compute_node.empty() ? "x-zorvane-node;" : "x-zorvane-node: " + conn.compute_node;
  AppendToSlist(headers, node_header.c_str());

  TransferContext ctx;
  ctx.query = q;
  ctx.easy = easy.get();
  ZVFrameParserPtr parser = zv_frame_create(&QueryFrameHandler, q);
  if (!parser) {
    q->RecordError("zv_frame_create failed");
    return;
  }
  ctx.parser = parser.get();

  char error_buffer[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(&ctx));
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &ProgressCallback);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, static_cast<void*>(q));
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  const std::string user_agent =
      conn.user_agent.empty() ? UserAgent(&conn.options) : conn.user_agent;
  ApplyConnectionSettings(h, &conn.options, conn.share_handle(), user_agent);
  ZV_LOG(kLogTrace, "transport", "User-Agent=%s", user_agent.c_str());
  if (!conn.options.proxy_url.empty()) {
    ZV_LOG(kLogDebug, "transport", "Routing via HTTP proxy %s (auth=%s)",
           WithoutUserInfo(conn.options.proxy_url).c_str(),
           conn.options.proxy_user.empty() ? "no" : "yes");
  }
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, StallSeconds());
  if (q->timeout_sec != 0) curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(q->timeout_sec));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  RedirectGuard redirects;
  redirects.Install(h);

  CurlSlist connect_to;
  arrow::Status tls = zv_tls_apply_to_curl(h, &conn.tls, url.c_str(), &connect_to);
  if (!tls.ok()) {
    q->RecordError("TLS configuration: " + tls.message());
    return;
  }
  const CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  ZV_LOG(kLogTrace, "transport", "curl rc=%d status=%ld error_mode=%d body_len=%zu",
         static_cast<int>(rc), status, ctx.error_mode ? 1 : 0, ctx.error_body.size());
  if (LogEnabled(kLogTrace) && !ctx.error_body.empty()) {
    zv_log_write(kLogTrace, "transport", "curl error_body=%s", zv_redact(ctx.error_body).c_str());
  }

  if (redirects.refused()) {
    q->RecordError(redirects.refusal());
    return;
  }
  if (rc == CURLE_ABORTED_BY_CALLBACK) return;
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && !q->ErrorText().empty())) {
    if (q->cancelled.load()) return;
    const std::string detail = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc);
    // Both the whole-transfer limit and the stall guard end in the same curl
    // code; only libcurl's low-speed abort says "too slow".
    const bool stalled = detail.find("too slow") != std::string::npos;
    if (rc == CURLE_OPERATION_TIMEDOUT && q->timeout_sec != 0 && !stalled) {
      q->RecordError(Bounded(Format("Query exceeded timeout of %lu seconds; %s",
                                    static_cast<unsigned long>(q->timeout_sec), detail.c_str()),
                             160));
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
      q->RecordError(Format("stream stalled (no data for %lds); ", StallSeconds()) + detail);
    } else {
      q->RecordError("HTTP transport: " + detail);
    }
    return;
  }
  if (status >= 400) {
    ZV_LOG(kLogWarn, "transport", "HTTP %ld from compute (%zu byte body): %s", status,
           ctx.error_body.size(), zv_redact(ctx.error_body).c_str());
    if (status == 401 && refusal != nullptr) {
      *refusal = TokenRefusal{token_copy.Copy(), zv_compute_error_text(ctx.error_body, status)};
      return;
    }
    ServerErrorFields fields = zv_server_error_fields(ctx.error_body);
    q->RecordServerError(zv_compute_error_text(ctx.error_body, status), std::move(fields.sqlstate),
                         std::move(fields.code));
    return;
  }
  FinishQueryStream(q, zv_frame_pending(parser.get()));
}

// A 401 answers before any result byte, so the query has not run: after one
// fresh login it is sent once more, and a second refusal is final.
void PerformTransferWithFreshToken(ZVQuery* q) {
  std::optional<TokenRefusal> refusal;
  PerformTransfer(q, &refusal);
  if (!refusal) return;
  const arrow::Status fresh =
      zv_refresh_session_token(q->connection.get(), refusal->token, refusal->message);
  if (!fresh.ok()) {
    q->RecordError(fresh.message());
    return;
  }
  PerformTransfer(q, nullptr);
}

void RunQueryWorker(ZVQuery* q) {
  try {
    PerformTransferWithFreshToken(q);
  } catch (const std::bad_alloc&) {
    q->RecordError("out of memory in query worker");
  } catch (const std::exception& e) {
    q->RecordError(Bounded(std::string("internal error in query worker: ") + e.what(), 256));
  } catch (...) {
    q->RecordError("unknown internal error in query worker");
  }
  q->MarkDone();
}

}  // namespace

arrow::Result<std::string> QueryRequestBody(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches) {
  nlohmann::json body = {{"sql", sql}};
  if (max_inflight_bytes != 0 && max_inflight_batches != 0) {
    body["stream_options"] = {
        {"max_batch_bytes", std::max(max_inflight_bytes / max_inflight_batches, kMinMaxBatchBytes)}};
  }
  try {
    return body.dump();
  } catch (const nlohmann::json::exception& e) {
    return arrow::Status::Invalid(Bounded(
        std::string("failed to encode SQL as JSON (likely non-UTF-8 input): ") + e.what(), 256));
  } catch (...) {
    return arrow::Status::Invalid("failed to encode SQL as JSON: unknown error");
  }
}

void FinishQueryStream(ZVQuery* q, bool partial_frame) {
  if (partial_frame) {
    q->RecordError("stream ended mid-frame (truncated binary response)");
  } else if (!q->eos_seen) {
    q->RecordError("the result stream ended without its end-of-stream frame");
  }
}

int QueryFrameHandler(uint8_t type, const uint8_t* payload, uint64_t length, void* context) {
  auto* q = static_cast<ZVQuery*>(context);
  if (q->cancelled.load()) return 1;
  ZV_LOG(kLogTrace, "transport", "frame type=%s (%zu bytes)", FrameTypeName(type),
         static_cast<size_t>(length));
  if (q->eos_seen) {
    q->RecordError(Format(
        "the result stream continued after its end-of-stream frame (frame type %s followed it)",
        FrameTypeName(type)));
    return 1;
  }
  if (type == kZvFrameInit || type == kZvFrameBatch) q->MarkAccepted();
  try {
    switch (type) {
      case kZvFrameInit:
        HandleInit(q, payload, length);
        return 0;
      case kZvFrameBatch:
        return HandleBatch(q, payload, length);
      case kZvFrameEos:
        if (length < 4) {
          q->RecordError("EOS frame truncated (header < 4 bytes)");
          return 1;
        }
        // The EOS of the last announced result set ends the body; the query
        // is done once the transfer has ended too (FinishQueryStream).
        if (zv_read_be32(payload) + 1 == q->announced_result_sets) q->eos_seen = true;
        return 0;
      case kZvFrameError: {
        ServerErrorFields fields = zv_server_error_fields(
            std::string_view(reinterpret_cast<const char*>(payload), static_cast<size_t>(length)));
        q->RecordServerError("compute reported error: " + ErrorFrameMessage(payload, length),
                             std::move(fields.sqlstate), std::move(fields.code));
        return 1;
      }
      case kZvFrameTrace:
        if (LogEnabled(kLogTrace) && length > 0) {
          zv_log_write(kLogTrace, "transport", "TRACE frame: %s",
                       zv_redact(std::string_view(reinterpret_cast<const char*>(payload),
                                                  static_cast<size_t>(length)))
                           .c_str());
        }
        return 0;
      default:
        ZV_LOG(kLogDebug, "transport", "skipping unknown frame type=0x%02x (%zu bytes)", type,
               static_cast<size_t>(length));
        return 0;
    }
  } catch (const std::exception& e) {
    q->RecordError(std::string("frame parse failure: ") + e.what());
    return 1;
  }
}

arrow::Result<ZVQueryPtr> zv_execute(std::shared_ptr<zv_conn> connection, const char* sql,
                                     uint32_t batch_size_hint, uint32_t timeout_sec) {
  if (!connection) return arrow::Status::IOError("zv_execute: conn is NULL");
  if (sql == nullptr) return arrow::Status::IOError("zv_execute: sql is NULL");
  if (connection->session_token.empty()) {
    return arrow::Status::IOError("zv_execute: connection has no session token");
  }
  const int32_t buffer_mb = connection->options.max_stream_buffer_mb;
  ZVQueryPtr query = NewQuery(std::move(connection));
  query->sql = sql;
  query->batch_size_hint = batch_size_hint;
  query->timeout_sec = timeout_sec;
  const InflightLimits& limits = ProcessInflightLimits();
  query->max_inflight_batches = limits.max_batches;
  query->max_inflight_bytes =
      buffer_mb > 0 ? static_cast<uint64_t>(buffer_mb) * 1048576ull : limits.max_bytes;
  if (zv_sql_trace_enabled()) zv_sql_trace_statement(zv_trace_label_top(), sql);
  try {
    ZVQuery* raw = query.get();
    query->worker = std::thread([raw] { RunQueryWorker(raw); });
  } catch (const std::system_error& e) {
    return arrow::Status::IOError(Format("failed to spawn query worker thread: %s (errno=%d)",
                                         e.what(), e.code().value()));
  } catch (const std::exception& e) {
    return arrow::Status::IOError(Format("failed to spawn query worker thread: %s", e.what()));
  }
  return query;
}

}  // namespace zv
