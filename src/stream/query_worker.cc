#include "stream/query_worker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "diagnostics/sql_trace.h"
#include "stream/error_classification.h"
#include "stream/frame.h"
#include "stream/inflight_limits_internal.h"
#include "stream/ipc_decode.h"
#include "stream/query_failure.h"
#include "transport/http_request.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/failure.h"
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
    q->SetStreamId(stream_id->get<std::string>());
  }
  auto result_sets = json.find("resultSets");
  if (result_sets == json.end() || result_sets->empty()) return;
  if (result_sets->is_object()) throw std::runtime_error("\"resultSets\" is not an array");
  if (!result_sets->is_array()) return;
  if (result_sets->size() >= 2 && q->ClaimMultiResultNotice()) {
    std::fprintf(stderr,
                 "zor-vane-odbc: multi-statement script returned %zu result sets; v1 only "
                 "surfaces the first.\n",
                 result_sets->size());
  }
  const auto& first = (*result_sets)[0];
  if (!first.is_object()) return;
  auto rows = first.find("rowsAffected");
  if (rows != first.end() && rows->is_number_integer()) q->SetRowsAffected(rows->get<int64_t>());
  auto schema_ipc = first.find("schemaIpc");
  if (schema_ipc != first.end() && schema_ipc->is_string()) {
    if (auto schema = zv_decode_init_schema(schema_ipc->get_ref<const std::string&>())) {
      q->AdoptSchema(std::move(schema));
    }
  }
}

int HandleBatch(ZVQuery* q, const uint8_t* payload, uint64_t length) {
  if (length < 8) {
    q->RecordError(StreamFault("BATCH frame truncated (header < 8 bytes)"));
    return 1;
  }
  const uint32_t index = zv_read_be32(payload);
  if (index != 0) {
    if (q->ClaimMultiResultNotice()) {
      std::fprintf(stderr,
                   "zor-vane-odbc: dropped batch for resultSetIndex=%u (v1 only handles index "
                   "0)\n",
                   index);
    }
    return 0;
  }
  if (length == 8) return 0;
  // A payload the parser assembled in pool memory is decoded in place; one
  // that lies in the transport's receive buffer is copied once.
  std::shared_ptr<arrow::Buffer> assembled = zv_frame_take_payload();
  auto decoded = assembled ? zv_ipc_decode_buffer(arrow::SliceBuffer(assembled, 8))
                           : zv_ipc_decode(payload + 8, static_cast<size_t>(length - 8));
  if (!decoded.ok()) {
    q->RecordError(StreamFault("IPC decode (batch): " + decoded.status().ToString()));
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

// After the EOS of result set 0 the body may still carry other result sets
// (dropped) and a server's failure (reported); a frame of result set 0, a
// second INIT or anything the driver cannot place is a broken body.
bool MayFollowTheEos(uint8_t type, const uint8_t* payload, uint64_t length) {
  switch (type) {
    case kZvFrameBatch: return length >= 8 && zv_read_be32(payload) != 0;
    case kZvFrameEos: return length >= 4 && zv_read_be32(payload) != 0;
    case kZvFrameError: return true;
    default: return false;
  }
}

std::string ErrorFrameMessage(const uint8_t* payload, uint64_t length) {
  std::string raw(reinterpret_cast<const char*>(payload), static_cast<size_t>(length));
  auto json = nlohmann::json::parse(raw, nullptr, /*allow_exceptions=*/false);
  if (json.is_object()) {
    for (const char* key : {"message", "error"}) {
      auto it = json.find(key);
      if (it != json.end() && it->is_string()) return it->get<std::string>();
    }
  }
  return raw;
}

bool ReceiveBody(TransferContext* ctx, long http_status, std::string_view chunk) {
  if (ctx->query->cancelled()) return false;
  if (!ctx->status_read) {
    ctx->status_read = true;
    if (http_status >= 400) ctx->error_mode = true;
  }
  if (ctx->error_mode) {
    ctx->error_body.append(chunk.data(),
                           std::min(chunk.size(), kMaxErrorBody - ctx->error_body.size()));
    // The rest of a long error text is not read: a body that never ends
    // would otherwise hold the query until the host cancels it.
    return ctx->error_body.size() < kMaxErrorBody;
  }
  return zv_frame_feed(ctx->parser, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()) ==
         0;
}

// Nothing may propagate into the transport; a refused chunk aborts the transfer,
// and the worker reports it.
bool ReceiveBodyOrRecord(TransferContext* ctx, long http_status, std::string_view chunk) {
  try {
    return ReceiveBody(ctx, http_status, chunk);
  } catch (...) {
    try {
      ctx->query->RecordError(StreamFault("out of memory in query worker"));
    } catch (...) {
    }
    return false;
  }
}

// The rest of the frame payload being assembled, once the response is known
// to be a result stream; the transport may receive into it directly.
std::span<uint8_t> ReceiveWindow(TransferContext* ctx) {
  if (!ctx->status_read || ctx->error_mode || ctx->query->cancelled()) return {};
  return zv_frame_receive_window(ctx->parser);
}

bool ReceivedIntoWindow(TransferContext* ctx, size_t count) {
  try {
    return zv_frame_received(ctx->parser, count) == 0;
  } catch (...) {
    try {
      ctx->query->RecordError(StreamFault("out of memory in query worker"));
    } catch (...) {
    }
    return false;
  }
}

bool ShouldAbort(ZVQuery* query) {
  if (query->cancelled()) return true;
  if (query->connection()->released.load()) {
    // The host released the connection while this result was still streaming.
    query->RecordError(
        StreamFault("the connection was released while this result stream was still open; the "
                    "query was cancelled"));
    return true;
  }
  return false;
}

arrow::Result<HttpRequest> QueryRequest(ZVQuery* q, const std::string& url, std::string_view token,
                                        TransferContext* ctx) {
  const zv_conn& conn = *q->connection();
  ARROW_ASSIGN_OR_RAISE(std::string body, QueryRequestBody(q->sql(), q->max_inflight_bytes(),
                                                           q->max_inflight_batches()));
  ARROW_ASSIGN_OR_RAISE(HttpRequest request, HttpRequest::Make(url));
  ARROW_RETURN_NOT_OK(request.AddHeader("Content-Type: application/json"));
  ARROW_RETURN_NOT_OK(request.AddHeader("Accept: application/vnd.zorvane.stream.v1"));
  ARROW_RETURN_NOT_OK(request.AddBearerToken(token));
  ARROW_RETURN_NOT_OK(request.AddHeader("X-Zorvane-Client: adbc"));
  ARROW_RETURN_NOT_OK(request.AddHeader(
      conn.compute_node.empty() ? "x-zorvane-node;" : "x-zorvane-node: " + conn.compute_node));
  request.SetPostBody(std::move(body));
  request.SetReceiver([ctx](long http_status, std::string_view chunk) {
    return ReceiveBodyOrRecord(ctx, http_status, chunk);
  });
  request.SetReceiveWindow([ctx] { return ReceiveWindow(ctx); },
                           [ctx](size_t count) { return ReceivedIntoWindow(ctx, count); });
  request.SetAbortCheck([q] { return ShouldAbort(q); });
  request.SetReceiveBufferBytes(kReceiveBufferBytes);
  request.SetNoDelay();
  request.SetConnection(&conn.options, conn.share_handle(), conn.user_agent);
  ZV_LOG(kLogTrace, "transport", "User-Agent=%s",
         conn.user_agent.empty() ? UserAgent(&conn.options).c_str() : conn.user_agent.c_str());
  if (!conn.options.proxy_url.empty()) {
    ZV_LOG(kLogDebug, "transport", "Routing via HTTP proxy %s (auth=%s)",
           WithoutUserInfo(conn.options.proxy_url).c_str(),
           conn.options.proxy_user.empty() ? "no" : "yes");
  }
  request.SetStallTimeout(StallSeconds());
  request.SetTotalTimeout(static_cast<long>(q->timeout_sec()));
  request.SetTls(&conn.tls);
  return request;
}

// Records why the transfer failed; false when the failure was only the body
// receiver stopping after it had recorded the query's error itself, so the
// response still gets its checks.
bool RecordTransferFailure(ZVQuery* q, const arrow::Status& failure) {
  const TransferError kind = TransferErrorOf(failure).value_or(TransferError::kOther);
  if (kind == TransferError::kAborted) return true;
  if (kind == TransferError::kSetup || kind == TransferError::kTlsConfiguration ||
      kind == TransferError::kRedirectRefused) {
    q->RecordError(StatementFailureOf(failure));
    return true;
  }
  if (kind == TransferError::kReceiverStopped && !q->ErrorText().empty()) return false;
  if (q->cancelled()) return true;
  // The message says what was being done; the transfer's own detail keeps
  // what libcurl's result says (a time-out, a connection that broke).
  const std::string& detail = failure.message();
  std::string message;
  if (kind == TransferError::kTimedOut && q->timeout_sec() != 0) {
    message = Bounded(Format("Query exceeded timeout of %lu seconds; %s",
                             static_cast<unsigned long>(q->timeout_sec()), detail.c_str()),
                      160);
  } else if (kind == TransferError::kTimedOut || kind == TransferError::kStalled) {
    message = Format("stream stalled (no data for %lds); ", StallSeconds()) + detail;
  } else {
    message = "HTTP transport: " + detail;
  }
  q->RecordError(StatementFailureOf(failure.WithMessage(std::move(message))));
  return true;
}

// A refusal of the connection's token that came before any result: the
// request may be tried once more with a fresh token.
struct TokenRefusal {
  SecretString token;
  std::string message;
};

void RecordHttpFailure(ZVQuery* q, long status, const std::string& error_body,
                       const SecretString& token, std::optional<TokenRefusal>* refusal) {
  ZV_LOG(kLogWarn, "transport", "HTTP %ld from compute (%zu byte body): %s", status,
         error_body.size(), zv_redact(error_body).c_str());
  if (status == 401 && refusal != nullptr) {
    *refusal = TokenRefusal{token.Copy(), zv_compute_error_text(error_body, status)};
    return;
  }
  q->RecordError(ComputeHttpFailure(status, error_body));
}

// Streams the query's result. With `refusal` given, an HTTP 401 is left
// there instead of being recorded, for the caller to refresh the token.
void PerformTransfer(ZVQuery* q, std::optional<TokenRefusal>* refusal) {
  const zv_conn& conn = *q->connection();
  const std::string url =
      std::string(StripTrailingSlashes(conn.query_url())) + "/api/v1/query/stream/binary";
  ZV_LOG(kLogInfo, "transport", "run_query_worker(q=%p, conn=%p): POST %s (compute_url=%s)",
         static_cast<void*>(q), static_cast<const void*>(&conn), url.c_str(),
         conn.compute_url.empty() ? "(empty->control_plane)" : conn.compute_url.c_str());
  ZVFrameParserPtr parser = zv_frame_create(&QueryFrameHandler, q);
  if (!parser) {
    q->RecordError(StreamFault("zv_frame_create failed"));
    return;
  }
  TransferContext ctx;
  ctx.query = q;
  ctx.parser = parser.get();
  const SecretString token = conn.session_token.Copy();
  auto request = QueryRequest(q, url, token.view(), &ctx);
  if (!request.ok()) {
    q->RecordError(StatementFailureOf(request.status()));
    return;
  }
  const auto performed = request->Perform();
  const long status = request->ResponseStatus();
  ZV_LOG(kLogTrace, "transport", "transfer %s status=%ld error_mode=%d body_len=%zu",
         performed.ok() ? "completed" : performed.status().message().c_str(), status,
         ctx.error_mode ? 1 : 0, ctx.error_body.size());
  if (LogEnabled(kLogTrace) && !ctx.error_body.empty()) {
    zv_log_write(kLogTrace, "transport", "error_body=%s", zv_redact(ctx.error_body).c_str());
  }
  const bool error_text_read = ctx.error_mode && ctx.error_body.size() >= kMaxErrorBody;
  if (!performed.ok() && !error_text_read && RecordTransferFailure(q, performed.status())) return;
  if (status >= 400) {
    RecordHttpFailure(q, status, ctx.error_body, token, refusal);
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
      zv_refresh_session_token(q->connection().get(), refusal->token, refusal->message);
  if (!fresh.ok()) {
    q->RecordError(StatementFailureOf(fresh));
    return;
  }
  PerformTransfer(q, nullptr);
}

void RunQueryWorker(ZVQuery* q) {
  try {
    PerformTransferWithFreshToken(q);
  } catch (const std::bad_alloc&) {
    q->RecordError(StreamFault("out of memory in query worker"));
  } catch (const std::exception& e) {
    q->RecordError(
        StreamFault(Bounded(std::string("internal error in query worker: ") + e.what(), 256)));
  } catch (...) {
    q->RecordError(StreamFault("unknown internal error in query worker"));
  }
  q->MarkDone();
}

}  // namespace

arrow::Result<std::string> QueryRequestBody(const std::string& sql, uint64_t max_inflight_bytes,
                                            uint64_t max_inflight_batches) {
  nlohmann::json body = {{"sql", sql}};
  if (max_inflight_bytes != 0 && max_inflight_batches != 0) {
    body["stream_options"] = {
        {"max_batch_bytes",
         std::max(max_inflight_bytes / max_inflight_batches, kMinMaxBatchBytes)}};
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

arrow::Status ComputeHttpFailure(long http_status, std::string_view body) {
  // The server's SQLSTATE first; else what the HTTP status says; only a
  // status that says nothing leaves the SQLSTATE to the text.
  const ServerErrorFields fields = zv_server_error_fields(body);
  return ServerFailure(zv_compute_error_text(body, http_status), fields.sqlstate, fields.code,
                       SqlStateOfHttpStatus(http_status));
}

void FinishQueryStream(ZVQuery* q, bool partial_frame) {
  if (partial_frame) {
    q->RecordError(StreamFault("stream ended mid-frame (truncated binary response)"));
  } else if (!q->eos_seen()) {
    q->RecordError(StreamFault("the result stream ended without its end-of-stream frame"));
  } else if (q->ErrorText().empty()) {
    q->progress()->Complete();
  }
}

int QueryFrameHandler(uint8_t type, const uint8_t* payload, uint64_t length, void* context) {
  auto* q = static_cast<ZVQuery*>(context);
  if (q->cancelled()) return 1;
  ZV_LOG(kLogTrace, "transport", "frame type=%s (%zu bytes)", FrameTypeName(type),
         static_cast<size_t>(length));
  if (q->eos_seen() && !MayFollowTheEos(type, payload, length)) {
    q->RecordError(StreamFault(Format(
        "the result stream continued after its end-of-stream frame (frame type %s followed it)",
        FrameTypeName(type))));
    return 1;
  }
  try {
    switch (type) {
      case kZvFrameInit: HandleInit(q, payload, length); return 0;
      case kZvFrameBatch: return HandleBatch(q, payload, length);
      case kZvFrameEos:
        if (length < 4) {
          q->RecordError(StreamFault("EOS frame truncated (header < 4 bytes)"));
          return 1;
        }
        // The EOS of result set 0 ends the surfaced result; the query is
        // done once the transfer has ended too (FinishQueryStream), so a
        // frame of that result arriving later still fails it. Other result
        // sets' EOS frames are dropped like their batches.
        if (zv_read_be32(payload) == 0) q->MarkEosSeen();
        return 0;
      case kZvFrameError: {
        const ServerErrorFields fields = zv_server_error_fields(
            std::string_view(reinterpret_cast<const char*>(payload), static_cast<size_t>(length)));
        q->RecordError(
            ServerFailure("compute reported error: " + ErrorFrameMessage(payload, length),
                          fields.sqlstate, fields.code));
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
    // A frame the driver cannot read is a broken stream, whatever words the
    // parser's message happens to use ("syntax error").
    q->RecordError(StreamFault(std::string("frame parse failure: ") + e.what()));
    return 1;
  }
}

namespace {

arrow::Result<ZVQueryPtr> Execute(std::shared_ptr<zv_conn> connection, QuerySpec spec) {
  if (!connection) return arrow::Status::IOError("zv_execute: conn is NULL");
  if (connection->session_token.empty()) {
    return arrow::Status::IOError("zv_execute: connection has no session token");
  }
  const int32_t buffer_mb = connection->options.max_stream_buffer_mb;
  ZVQueryPtr query = NewQuery(std::move(connection));
  query->Configure(spec.sql, spec.timeout_sec);
  const InflightLimits& limits = ProcessInflightLimits();
  query->SetInflightLimits(limits.max_batches, buffer_mb > 0
                                                   ? static_cast<uint64_t>(buffer_mb) * 1048576ull
                                                   : limits.max_bytes);
  if (zv_sql_trace_enabled()) zv_sql_trace_statement(zv_trace_label_top(), spec.sql.c_str());
  ZVQuery* raw = query.get();
  ARROW_RETURN_NOT_OK(query->StartWorker([raw] { RunQueryWorker(raw); }));
  for (auto& scope : spec.cancel_scopes) query->JoinCancelScope(std::move(scope));
  return query;
}

}  // namespace

arrow::Result<ZVQueryPtr> StartQuery(std::shared_ptr<zv_conn> connection, QuerySpec spec) {
  auto started = Execute(std::move(connection), std::move(spec));
  if (!started.ok()) return AsFailureOf(FailureKind::kIo, started.status());
  return started;
}

}  // namespace zv
