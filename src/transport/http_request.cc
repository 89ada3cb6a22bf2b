#include "transport/http_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "transport/connection_share_internal.h"
#include "transport/curl_handles_internal.h"
#include "transport/direct_exchange_internal.h"
#include "transport/http_client.h"
#include "transport/redirect_policy_internal.h"
#include "transport/tls_policy_internal.h"
#include "transport/transfer_failure_internal.h"
#include "util/failure.h"
#include "util/secret_string.h"

namespace zv {

namespace {

// Why an exchange did not complete, in the driver's failure terms as well:
// the SQLSTATE libcurl's result says, so no one reads it back from the text.
class TransferErrorDetail : public FailureDetail {
 public:
  TransferErrorDetail(TransferError kind, FailureKind failure, std::string sqlstate)
      : FailureDetail(failure, std::move(sqlstate), Origin::kClassified), kind_(kind) {}
  const char* type_id() const override { return "zv::TransferErrorDetail"; }
  std::string ToString() const override { return "transfer failed"; }
  TransferError transfer_error() const { return kind_; }

 private:
  TransferError kind_;
};

void ApplyProxy(CURL* easy, const zv_conn_options* options) {
  if (options == nullptr || options->proxy_url.empty()) return;
  curl_easy_setopt(easy, CURLOPT_PROXY, options->proxy_url.c_str());
  if (!options->proxy_user.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, options->proxy_user.c_str());
  }
  if (!options->proxy_pass.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, options->proxy_pass.c_str());
  }
}

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

TransferError Classify(CURL* easy, CURLcode rc, const std::string& detail) {
  switch (rc) {
    case CURLE_ABORTED_BY_CALLBACK: return TransferError::kAborted;
    case CURLE_WRITE_ERROR: return TransferError::kReceiverStopped;
    // The whole-request limit and the stall guard end in the same code; only
    // libcurl's low-speed abort says "too slow".
    case CURLE_OPERATION_TIMEDOUT:
      return detail.find("too slow") != std::string::npos ? TransferError::kStalled
                                                          : TransferError::kTimedOut;
    default: return DiedUnused(easy, rc) ? TransferError::kDiedUnused : TransferError::kOther;
  }
}

}  // namespace

arrow::Status TransferFailure(TransferError kind, const std::string& message,
                              const char* sqlstate) {
  const bool timed_out = kind == TransferError::kTimedOut || kind == TransferError::kStalled;
  return arrow::Status::IOError(message).WithDetail(std::make_shared<TransferErrorDetail>(
      kind, timed_out ? FailureKind::kTimeout : FailureKind::kIo, sqlstate));
}

const char* SqlStateOfCurlResult(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH: return "08001";
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE: return "08006";
    case CURLE_OPERATION_TIMEDOUT: return "HYT00";
    default: return "";
  }
}

struct HttpRequest::Impl {
  CurlEasy easy;
  std::string url;
  CurlSlist headers;
  CurlSlist connect_to;
  std::string post_body;
  std::string user_agent;
  const zv_tls_config* tls = nullptr;
  Receiver receiver;
  ReceiveWindow window;
  WindowFilled filled;
  const zv_conn_options* options = nullptr;
  const ConnectionShare* share = nullptr;
  long total_timeout = 0;
  long stall_timeout = 0;
  long direct_status = 0;  // of a response received by a direct exchange
  Source source;
  Rewind rewind;
  AbortCheck abort_check;
  RedirectGuard redirects;
  long body_status = 0;  // the status of the response the body belongs to, once known
  char error_buffer[CURL_ERROR_SIZE] = {};

  // A body may carry credentials (a login's password).
  ~Impl() { SecureZero(post_body.data(), post_body.size()); }

  // libcurl is C: nothing may unwind through these; stopping is the safe side.
  static size_t OnBody(char* data, size_t size, size_t nmemb, void* self);
  static size_t OnRead(char* buffer, size_t size, size_t nitems, void* self);
  static int OnSeek(void* self, curl_off_t offset, int origin);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

size_t HttpRequest::Impl::OnBody(char* data, size_t size, size_t nmemb, void* self) {
  auto* impl = static_cast<Impl*>(self);
  const size_t bytes = size * nmemb;
  if (!impl->receiver) return bytes;
  try {
    // Asked once: the body callback runs for every chunk of a result stream.
    if (impl->body_status == 0) {
      curl_easy_getinfo(impl->easy.get(), CURLINFO_RESPONSE_CODE, &impl->body_status);
    }
    return impl->receiver(impl->body_status, std::string_view(data, bytes)) ? bytes : 0;
  } catch (...) {
    return 0;
  }
}

size_t HttpRequest::Impl::OnRead(char* buffer, size_t size, size_t nitems, void* self) {
  try {
    const size_t count = static_cast<Impl*>(self)->source(buffer, size * nitems);
    return count == kAbortUpload ? CURL_READFUNC_ABORT : count;
  } catch (...) {
    return CURL_READFUNC_ABORT;
  }
}

int HttpRequest::Impl::OnSeek(void* self, curl_off_t offset, int origin) {
  auto* impl = static_cast<Impl*>(self);
  if (offset != 0 || origin != SEEK_SET || !impl->rewind) return CURL_SEEKFUNC_CANTSEEK;
  try {
    return impl->rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
  } catch (...) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
}

int HttpRequest::Impl::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  try {
    return static_cast<Impl*>(self)->abort_check() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

std::optional<TransferError> TransferErrorOf(const arrow::Status& status) {
  const auto detail = std::dynamic_pointer_cast<TransferErrorDetail>(status.detail());
  if (!detail) return std::nullopt;
  return detail->transfer_error();
}

arrow::Status WithTransferContext(const arrow::Status& failure, std::string_view prefix) {
  const std::optional<TransferError> kind = TransferErrorOf(failure);
  if (!kind || *kind == TransferError::kSetup || *kind == TransferError::kTlsConfiguration ||
      *kind == TransferError::kRedirectRefused) {
    return failure;
  }
  return failure.WithMessage(std::string(prefix) + failure.message());
}

HttpRequest::HttpRequest(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpRequest::~HttpRequest() = default;
HttpRequest::HttpRequest(HttpRequest&&) noexcept = default;
HttpRequest& HttpRequest::operator=(HttpRequest&&) noexcept = default;

arrow::Result<HttpRequest> HttpRequest::Make(std::string url) {
  auto impl = std::make_unique<Impl>();
  impl->easy.reset(curl_easy_init());
  if (!impl->easy) return TransferFailure(TransferError::kSetup, "curl_easy_init failed");
  impl->url = std::move(url);
  CURL* h = impl->easy.get();
  void* self = impl.get();
  curl_easy_setopt(h, CURLOPT_URL, impl->url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, impl->error_buffer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, self);
  impl->redirects.Install(h);
  return HttpRequest(std::move(impl));
}

arrow::Status HttpRequest::AddHeader(std::string_view line) {
  const std::string text(line);
  if (!AppendToSlist(impl_->headers, text.c_str())) {
    return TransferFailure(TransferError::kSetup, "out of memory adding a request header");
  }
  return arrow::Status::OK();
}

arrow::Status HttpRequest::AddBearerToken(std::string_view token) {
  if (HasForbiddenControlCharacters(token)) {
    return TransferFailure(TransferError::kSetup,
                           "session token contains forbidden control characters");
  }
  static constexpr std::string_view kPrefix = "Authorization: Bearer ";
  std::string header;
  ZeroOnScopeExit zero_header(header);
  header.reserve(kPrefix.size() + token.size());  // no reallocation leaves a copy behind
  header.append(kPrefix).append(token);
  if (!AppendToSlist(impl_->headers, header.c_str())) {
    return TransferFailure(TransferError::kSetup, "out of memory adding the Authorization header");
  }
  return arrow::Status::OK();
}

void HttpRequest::SetPostBody(std::string body) {
  impl_->post_body = std::move(body);
  CURL* h = impl_->easy.get();
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, impl_->post_body.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(impl_->post_body.size()));
}

void HttpRequest::SetStreamedUpload(Source source, Rewind rewind) {
  impl_->source = std::move(source);
  impl_->rewind = std::move(rewind);
  CURL* h = impl_->easy.get();
  void* self = impl_.get();
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, -1L);
  curl_easy_setopt(h, CURLOPT_READFUNCTION, &Impl::OnRead);
  curl_easy_setopt(h, CURLOPT_READDATA, self);
  curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &Impl::OnSeek);
  curl_easy_setopt(h, CURLOPT_SEEKDATA, self);
}

void HttpRequest::SetReceiver(Receiver receiver) { impl_->receiver = std::move(receiver); }

void HttpRequest::SetReceiveWindow(ReceiveWindow window, WindowFilled filled) {
  impl_->window = std::move(window);
  impl_->filled = std::move(filled);
}

void HttpRequest::SetAbortCheck(AbortCheck abort_check) {
  impl_->abort_check = std::move(abort_check);
  CURL* h = impl_->easy.get();
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, static_cast<void*>(impl_.get()));
}

void HttpRequest::SetConnection(const zv_conn_options* options, const ConnectionShare* share,
                                const std::string& user_agent) {
  CURL* h = impl_->easy.get();
  impl_->options = options;
  impl_->share = share;
  impl_->user_agent = user_agent.empty() ? UserAgent(options) : user_agent;
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSec(options));
  if (share != nullptr && share->handle() != nullptr) {
    curl_easy_setopt(h, CURLOPT_SHARE, share->handle());
  }
  // Pooled connections must survive between requests.
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 30L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 30L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, impl_->user_agent.c_str());
  ApplyProxy(h, options);
}

void HttpRequest::SetTls(const zv_tls_config* tls) { impl_->tls = tls; }

void HttpRequest::SetTotalTimeout(long seconds) {
  if (seconds > 0) curl_easy_setopt(impl_->easy.get(), CURLOPT_TIMEOUT, seconds);
  impl_->total_timeout = seconds;
}

void HttpRequest::SetStallTimeout(long seconds) {
  impl_->stall_timeout = seconds;
  curl_easy_setopt(impl_->easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(impl_->easy.get(), CURLOPT_LOW_SPEED_TIME, seconds);
}

void HttpRequest::SetReceiveBufferBytes(long bytes) {
  curl_easy_setopt(impl_->easy.get(), CURLOPT_BUFFERSIZE, bytes);
}

void HttpRequest::SetNoDelay() { curl_easy_setopt(impl_->easy.get(), CURLOPT_TCP_NODELAY, 1L); }

void HttpRequest::SetFreshConnection() {
  curl_easy_setopt(impl_->easy.get(), CURLOPT_FRESH_CONNECT, 1L);
}

arrow::Result<long> HttpRequest::Perform() {
  Impl& r = *impl_;
  CURL* h = r.easy.get();
  r.direct_status = 0;
  if (r.window && r.filled && r.receiver && !r.source && !r.post_body.empty()) {
    const DirectExchange exchange{r.url,           r.headers.get(), r.user_agent, r.post_body,
                                  r.options,       r.share,         r.tls,        r.total_timeout,
                                  r.stall_timeout, r.receiver,      r.window,     r.filled,
                                  r.abort_check,   &r.direct_status};
    std::optional<arrow::Result<long>> direct = PerformDirect(exchange);
    if (direct.has_value()) return std::move(*direct);
    r.direct_status = 0;
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, r.headers.get());
  if (r.tls != nullptr) {
    const arrow::Status tls = zv_tls_apply_to_curl(h, r.tls, r.url.c_str(), &r.connect_to);
    if (!tls.ok()) {
      return TransferFailure(TransferError::kTlsConfiguration,
                             "TLS configuration: " + tls.message());
    }
  }
  r.body_status = 0;
  const CURLcode rc = curl_easy_perform(h);
  if (r.redirects.refused()) {
    return TransferFailure(TransferError::kRedirectRefused, r.redirects.refusal());
  }
  if (rc != CURLE_OK) {
    const std::string detail = r.error_buffer[0] != '\0' ? r.error_buffer : curl_easy_strerror(rc);
    return TransferFailure(Classify(h, rc, detail), detail, SqlStateOfCurlResult(rc));
  }
  return ResponseStatus();
}

long HttpRequest::ResponseStatus() const {
  if (impl_->direct_status != 0) return impl_->direct_status;
  long status = 0;
  curl_easy_getinfo(impl_->easy.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

HttpRequest::Receiver CappedBodyReceiver(std::string* response, size_t limit) {
  return [response, limit](long, std::string_view chunk) {
    const size_t needed = response->size() + chunk.size();
    if (needed > limit) return false;
    if (needed > response->capacity()) {
      // Grown by hand so that the buffer let go is zeroed first: the body
      // may hold a token.
      std::string grown;
      grown.reserve(std::min(limit, std::max(needed, 2 * response->capacity())));
      grown.append(*response);
      SecureZero(response->data(), response->size());
      response->swap(grown);
    }
    response->append(chunk);
    return true;
  };
}

void InitialiseTransportOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

}  // namespace zv
