#include "transport/direct_exchange_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "transport/connection_share_internal.h"
#include "transport/curl_handles_internal.h"
#include "transport/http1_response_internal.h"
#include "transport/http_client.h"
#include "transport/redirect_policy_internal.h"
#include "transport/tls_config.h"
#include "transport/tls_policy_internal.h"
#include "transport/transfer_failure_internal.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/format.h"
#include "util/secret_string.h"

namespace zv {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = Http1Response::Bytes;

// Framing, small answers and the first bytes of each frame go through this
// buffer; a frame's payload is received straight into its own memory.
constexpr size_t kStagingBytes = 16384;
// libcurl's receive calls read at most its buffer size per call, whatever the
// caller asks for (they receive into the caller's memory, not that buffer).
constexpr long kLargestRead = 4L * 1024 * 1024;
// How often a wait looks at the abort check and the time-outs.
constexpr long kWaitSliceMs = 100;

struct CurlMultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

// libcurl routes requests through these when they are set; such a request
// stays with the libcurl transfer, which honours them.
bool ProxyFromEnvironment(bool https) {
  static constexpr const char* kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY"};
  static constexpr const char* kHttps[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  for (const char* name :
       https ? std::span<const char* const>(kHttps) : std::span<const char* const>(kHttp)) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Kept connections are shared only by requests that would have opened the
// same one: the origin, and the TLS policy that verified it.
std::string ChannelKey(const zv_url_parts& parts, const zv_tls_config* tls) {
  std::string key = parts.scheme + "://" + parts.host + ":" + parts.port;
  if (tls != nullptr) {
    key += Format("\n%u %u %u\n", tls->encrypt, tls->trust_server_cert, tls->min_version);
    for (const std::string* text : {&tls->ca_bundle, &tls->client_cert, &tls->client_key}) {
      key.append(*text).push_back('\n');
    }
  }
  return key;
}

bool SplitsALine(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// A request target goes on the request line as it is: spaces and control
// characters would split it.
bool FitsTheRequestLine(std::string_view target) {
  return std::none_of(target.begin(), target.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

// libcurl polls this while it connects, so a cancelled query stops waiting
// for an unreachable server.
int OnConnectProgress(void* abort_check, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  try {
    const auto& check = *static_cast<const HttpRequest::AbortCheck*>(abort_check);
    return check && check() ? 1 : 0;
  } catch (...) {
    return 1;
  }
}

// The request's bytes; nullopt when a header could split the request.
// libcurl's header conventions hold: "Name;" sends the header empty, and
// "Name:" without a value sends nothing.
std::optional<std::string> RequestText(const DirectExchange& x, const zv_url_parts& parts,
                                       std::string_view target) {
  if (SplitsALine(x.user_agent) || !FitsTheRequestLine(target) || SplitsALine(parts.host)) {
    return std::nullopt;
  }
  // Reserved whole, so that no reallocation leaves a copy of the token behind.
  size_t size = 256 + target.size() + parts.host.size() + x.user_agent.size() + x.body.size();
  for (const curl_slist* node = x.headers; node != nullptr; node = node->next) {
    size += std::string_view(node->data).size() + 2;
  }
  std::string text;
  text.reserve(size);
  text.append("POST ").append(target).append(" HTTP/1.1\r\nHost: ").append(parts.host);
  if (parts.port != (parts.scheme == "https" ? "443" : "80")) text.append(":").append(parts.port);
  text.append("\r\nUser-Agent: ").append(x.user_agent).append("\r\n");
  for (const curl_slist* node = x.headers; node != nullptr; node = node->next) {
    const std::string_view line(node->data);
    if (SplitsALine(line)) return std::nullopt;
    const size_t colon = line.find(':');
    if (colon == line.npos) {
      if (!line.empty() && line.back() == ';') {
        text.append(line.substr(0, line.size() - 1)).append(":\r\n");
      }
      continue;
    }
    if (line.find_first_not_of(" \t", colon + 1) == line.npos) continue;
    text.append(line).append("\r\n");
  }
  text.append("Content-Length: ").append(std::to_string(x.body.size())).append("\r\n\r\n");
  text.append(x.body);
  return text;
}

arrow::Result<CurlEasy> Connect(const DirectExchange& x) {
  CurlEasy easy(curl_easy_init());
  if (!easy) return TransferFailure(TransferError::kSetup, "curl_easy_init failed");
  CURL* h = easy.get();
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(h, CURLOPT_URL, x.url.c_str());
  curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSec(x.options));
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kLargestRead);
  // Kept connections must survive between requests.
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 30L);
  curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 30L);
  // The request that follows is HTTP/1.1, whatever TLS could negotiate.
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  if (x.tls != nullptr) {
    const arrow::Status tls = zv_tls_apply_to_curl(h, x.tls, x.url.c_str(), nullptr);
    if (!tls.ok()) {
      return TransferFailure(TransferError::kTlsConfiguration,
                             "TLS configuration: " + tls.message());
    }
  }
  if (x.total_timeout > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT, x.total_timeout);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnConnectProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<HttpRequest::AbortCheck*>(&x.abort_check));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  const CURLcode rc = curl_easy_perform(h);
  // The handle outlives this exchange when it is kept: nothing may point here.
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, nullptr);
  if (rc == CURLE_ABORTED_BY_CALLBACK) {
    return TransferFailure(TransferError::kAborted, "Callback aborted");
  }
  if (rc != CURLE_OK) {
    const std::string detail = error[0] != '\0' ? error : curl_easy_strerror(rc);
    return TransferFailure(
        rc == CURLE_OPERATION_TIMEDOUT ? TransferError::kTimedOut : TransferError::kOther, detail,
        SqlStateOfCurlResult(rc));
  }
  return easy;
}

// One connected socket and the limits the exchange on it runs under.
class Link {
 public:
  Link(CurlEasy easy, const DirectExchange& x, Clock::time_point start)
      : easy_(std::move(easy)), x_(x), start_(start), last_byte_(Clock::now()) {
    curl_easy_getinfo(easy_.get(), CURLINFO_ACTIVESOCKET, &socket_);
  }

  bool usable() const { return waiter_ != nullptr && socket_ != CURL_SOCKET_BAD; }
  uint64_t received() const { return received_; }
  CurlEasy Release() { return std::move(easy_); }

  // A kept connection is fit for a request while it has nothing to read: a
  // server that closed it (its idle time-out) leaves the end of the stream.
  bool Idle() {
    uint8_t byte = 0;
    size_t got = 0;
    return curl_easy_recv(easy_.get(), &byte, 1, &got) == CURLE_AGAIN;
  }

  arrow::Status Send(std::string_view bytes) {
    while (!bytes.empty()) {
      size_t sent = 0;
      const CURLcode rc = curl_easy_send(easy_.get(), bytes.data(), bytes.size(), &sent);
      if (rc == CURLE_OK) {
        bytes.remove_prefix(sent);
      } else if (rc == CURLE_AGAIN) {
        ARROW_RETURN_NOT_OK(Wait(CURL_WAIT_POLLOUT));
      } else {
        return TransferFailure(TransferError::kOther,
                               std::string("Send failure: ") + curl_easy_strerror(rc),
                               SqlStateOfCurlResult(CURLE_SEND_ERROR));
      }
    }
    return arrow::Status::OK();
  }

  // Up to `capacity` bytes; 0 once the server has closed the connection.
  arrow::Result<size_t> Receive(uint8_t* into, size_t capacity) {
    if (x_.abort_check && x_.abort_check()) return Aborted();
    while (true) {
      size_t got = 0;
      const CURLcode rc = curl_easy_recv(easy_.get(), into, capacity, &got);
      if (rc == CURLE_OK) {
        if (got > 0) {
          received_ += got;
          last_byte_ = Clock::now();
          // A body that keeps flowing must still end at the whole-request limit.
          ARROW_RETURN_NOT_OK(CheckTotalTimeout(last_byte_));
        }
        return got;
      }
      if (rc != CURLE_AGAIN) {
        return TransferFailure(TransferError::kOther,
                               std::string("Recv failure: ") + curl_easy_strerror(rc),
                               SqlStateOfCurlResult(CURLE_RECV_ERROR));
      }
      ARROW_RETURN_NOT_OK(Wait(CURL_WAIT_POLLIN));
    }
  }

 private:
  arrow::Status CheckTotalTimeout(Clock::time_point now) const {
    if (x_.total_timeout <= 0 || now < start_ + std::chrono::seconds(x_.total_timeout)) {
      return arrow::Status::OK();
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    return TransferFailure(
        TransferError::kTimedOut,
        Format("Operation timed out after %lld milliseconds with %llu bytes received",
               static_cast<long long>(elapsed.count()), static_cast<unsigned long long>(received_)),
        SqlStateOfCurlResult(CURLE_OPERATION_TIMEDOUT));
  }

  static arrow::Status Aborted() {
    return TransferFailure(TransferError::kAborted, "Callback aborted");
  }

  // Until the socket is ready for `events`, the abort check says stop or a
  // time-out passes (the same words libcurl uses for them).
  arrow::Status Wait(short events) {
    while (true) {
      if (x_.abort_check && x_.abort_check()) return Aborted();
      const Clock::time_point now = Clock::now();
      ARROW_RETURN_NOT_OK(CheckTotalTimeout(now));
      long wait_ms = kWaitSliceMs;
      if (x_.total_timeout > 0) {
        const auto left = start_ + std::chrono::seconds(x_.total_timeout) - now;
        wait_ms = std::min<long>(
            wait_ms, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
      }
      if (x_.stall_timeout > 0) {
        const auto left = last_byte_ + std::chrono::seconds(x_.stall_timeout) - now;
        if (left <= Clock::duration::zero()) {
          return TransferFailure(TransferError::kStalled,
                                 Format("Operation too slow. Less than 1 bytes/sec transferred "
                                        "the last %ld seconds",
                                        x_.stall_timeout),
                                 SqlStateOfCurlResult(CURLE_OPERATION_TIMEDOUT));
        }
        wait_ms = std::min<long>(
            wait_ms, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
      }
      curl_waitfd fd{socket_, events, 0};
      int ready = 0;
      if (curl_multi_wait(waiter_.get(), &fd, 1, static_cast<int>(wait_ms), &ready) != CURLM_OK) {
        return TransferFailure(TransferError::kOther, "waiting for the socket failed",
                               SqlStateOfCurlResult(CURLE_RECV_ERROR));
      }
      if (fd.revents != 0) return arrow::Status::OK();
    }
  }

  CurlEasy easy_;
  CurlMulti waiter_{curl_multi_init()};
  curl_socket_t socket_ = CURL_SOCKET_BAD;
  const DirectExchange& x_;
  Clock::time_point start_;
  Clock::time_point last_byte_;
  uint64_t received_ = 0;
};

struct Run {
  bool declined = false;  // a same-origin redirect: the libcurl transfer follows it
  long status = 0;
  bool reusable = false;
};

arrow::Status ReceiverStopped() {
  return TransferFailure(TransferError::kReceiverStopped, "Failure writing output to destination");
}

arrow::Status Malformed(const arrow::Status& invalid) {
  return TransferFailure(TransferError::kOther, invalid.message(),
                         SqlStateOfCurlResult(CURLE_RECV_ERROR));
}

// The server closed the connection: the end of a body that runs to it, else a
// response cut short.
arrow::Status Closed(Http1Response& response) {
  if (response.EndOfInput().ok()) return arrow::Status::OK();
  if (!response.head_complete()) {
    return TransferFailure(TransferError::kOther, "Empty reply from server",
                           SqlStateOfCurlResult(CURLE_GOT_NOTHING));
  }
  return TransferFailure(TransferError::kOther,
                         "transfer closed with outstanding read data remaining",
                         SqlStateOfCurlResult(CURLE_PARTIAL_FILE));
}

// A redirect off the request's origin is refused here, as the libcurl
// transfer refuses it, so the request never goes out a second time; one that
// stays is left to the libcurl transfer to follow (true).
arrow::Result<bool> DeclineRedirect(const Http1Response& response, const DirectExchange& x) {
  if (!response.location().empty() && !IsSameOriginRedirect(x.url, response.location())) {
    return TransferFailure(TransferError::kRedirectRefused,
                           RedirectRefusalMessage(response.location()));
  }
  return true;
}

// Reads what the staging buffer holds through the response's framing into
// the receiver. True when a redirect declines the exchange.
arrow::Result<bool> Deliver(Http1Response& response, Bytes& in, const DirectExchange& x) {
  while (!in.empty() && !response.complete()) {
    const bool had_head = response.head_complete();
    auto data = response.Next(in);
    if (!data.ok()) return Malformed(data.status());
    if (!had_head && response.head_complete()) {
      *x.status = response.status();
      if (response.status() >= 300 && response.status() < 400 && response.status() != 304) {
        return DeclineRedirect(response, x);
      }
    }
    if (!data->empty() &&
        !x.receiver(response.status(),
                    std::string_view(reinterpret_cast<const char*>(data->data()), data->size()))) {
      return ReceiverStopped();
    }
  }
  return false;
}

arrow::Result<Run> Exchange(Link& link, const DirectExchange& x, std::string_view request) {
  ARROW_RETURN_NOT_OK(link.Send(request));
  Http1Response response;
  std::vector<uint8_t> staging(kStagingBytes);
  bool leftover = false;
  while (!response.complete()) {
    if (response.head_complete() && response.data_ahead() > 0) {
      const std::span<uint8_t> window = x.window();
      if (!window.empty()) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(window.size(), response.data_ahead()));
        ARROW_ASSIGN_OR_RAISE(const size_t got, link.Receive(window.data(), want));
        if (got == 0) {
          ARROW_RETURN_NOT_OK(Closed(response));
          continue;
        }
        response.DataReceived(got);
        if (!x.filled(got)) return ReceiverStopped();
        continue;
      }
    }
    ARROW_ASSIGN_OR_RAISE(const size_t got, link.Receive(staging.data(), staging.size()));
    if (got == 0) {
      ARROW_RETURN_NOT_OK(Closed(response));
      continue;
    }
    Bytes in(staging.data(), got);
    ARROW_ASSIGN_OR_RAISE(const bool declined, Deliver(response, in, x));
    if (declined) return Run{true, response.status(), false};
    leftover = leftover || !in.empty();
  }
  return Run{false, response.status(), response.reusable() && !leftover};
}

// A kept connection that broke before any answer arrived: the server closed
// it while it sat idle, so the request never reached it.
bool DiedUnused(const arrow::Status& failure, const Link& link) {
  const std::optional<TransferError> kind = TransferErrorOf(failure);
  return link.received() == 0 &&
         (kind == TransferError::kOther || kind == TransferError::kDiedUnused);
}

std::string RequestTarget(std::string_view url) {
  std::string_view rest = UrlRest(url);
  rest = rest.substr(0, rest.find('#'));
  if (rest.empty() || rest.front() != '/') return "/" + std::string(rest);
  return std::string(rest);
}

}  // namespace

std::optional<arrow::Result<long>> PerformDirect(const DirectExchange& x) {
  if (x.options != nullptr && !x.options->proxy_url.empty()) return std::nullopt;
  const zv_url_parts parts = SplitUrl(x.url);
  const bool https = parts.scheme == "https";
  if ((!https && parts.scheme != "http") || parts.host.empty() ||
      parts.host.find('@') != std::string::npos || ProxyFromEnvironment(https) ||
      (x.tls != nullptr && !x.tls->host_in_cert.empty())) {
    return std::nullopt;
  }
  std::optional<std::string> request = RequestText(x, parts, RequestTarget(x.url));
  if (!request) return std::nullopt;
  ZeroOnScopeExit zero_request(*request);  // it carries the bearer token
  const std::string origin = ChannelKey(parts, x.tls);
  const Clock::time_point start = Clock::now();
  // A kept connection the server has closed meanwhile gets one fresh try.
  for (int attempt = 0; attempt < 2; ++attempt) {
    CurlEasy easy = attempt == 0 && x.share != nullptr ? x.share->TakeIdleChannel(origin) : nullptr;
    const bool reused = easy != nullptr;
    if (!reused) {
      auto connected = Connect(x);
      if (!connected.ok()) return connected.status();
      easy = std::move(*connected);
    }
    Link link(std::move(easy), x, start);
    if (!link.usable()) {
      if (reused) continue;
      return TransferFailure(TransferError::kSetup, "the connection's socket is not usable");
    }
    if (reused && !link.Idle()) continue;
    arrow::Result<Run> run = Exchange(link, x, *request);
    if (!run.ok()) {
      if (reused && DiedUnused(run.status(), link)) continue;
      return run.status();
    }
    if (run->declined) return std::nullopt;
    if (run->reusable && x.share != nullptr) x.share->KeepIdleChannel(origin, link.Release());
    return run->status;
  }
  return TransferFailure(TransferError::kOther, "Empty reply from server",
                         SqlStateOfCurlResult(CURLE_GOT_NOTHING));
}

}  // namespace zv
