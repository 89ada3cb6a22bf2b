// One HTTP exchange with the service, whatever its body: every request the
// driver makes (JSON calls, result streams, ingest uploads, catalog
// snapshots) is set up here, so a change to headers, TLS, proxies, the pool,
// time-outs or redirects is made once.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zv {

class ConnectionShare;
struct zv_conn_options;
struct zv_tls_config;

// Why an exchange did not complete; carried as the detail of the Status that
// HttpRequest::Perform returns.
enum class TransferError {
  kSetup,             // a handle, header or option could not be set up
  kTlsConfiguration,  // the TLS policy could not be applied
  kRedirectRefused,   // the server redirected to another origin
  kAborted,           // the abort check or the upload's source stopped it
  kReceiverStopped,   // the body receiver refused a chunk
  kTimedOut,          // the whole-request or the connect time-out
  kStalled,           // no byte arrived for the stall time
  kDiedUnused,        // a pooled connection the server had closed; nothing was exchanged
  kOther,
};

// The kind of a failure Perform returned; nullopt for any other status.
std::optional<TransferError> TransferErrorOf(const arrow::Status& status);

// `failure` (from Perform) with `prefix` before its message when it carries
// libcurl's own words, which need saying what was being done. Refusals and
// set-up failures already say it and come back as they are.
arrow::Status WithTransferContext(const arrow::Status& failure, std::string_view prefix);

// Prepares once, performs once. Not copyable; movable (the callbacks libcurl
// holds point at state that does not move).
class HttpRequest {
 public:
  // One chunk of the response body and the status of the response it belongs
  // to; false stops the transfer (kReceiverStopped). Without a receiver the
  // body is dropped.
  using Receiver = std::function<bool(long http_status, std::string_view chunk)>;
  // Fills up to `capacity` bytes of a streamed upload: the count, 0 at its
  // end, or kAbortUpload to stop the transfer (kAborted).
  using Source = std::function<size_t(char* buffer, size_t capacity)>;
  static constexpr size_t kAbortUpload = static_cast<size_t>(-1);
  // Starts a streamed upload again from its first byte (libcurl asks when a
  // pooled connection dies before the answer); false when it cannot.
  using Rewind = std::function<bool()>;
  // Polled while the transfer runs; true abandons it (kAborted).
  using AbortCheck = std::function<bool()>;
  // Memory the next body bytes belong in, when the receiver can take them
  // there (a result stream in the middle of a frame's payload); empty: they go
  // to the receiver. A POST without a proxy or a host-name override then
  // receives them straight into it (direct_exchange_internal.h).
  using ReceiveWindow = std::function<std::span<uint8_t>()>;
  // `count` bytes were received into the window; false stops the transfer
  // (kReceiverStopped).
  using WindowFilled = std::function<bool(size_t count)>;

  // A GET of `url` until a body is set.
  static arrow::Result<HttpRequest> Make(std::string url);
  ~HttpRequest();
  HttpRequest(HttpRequest&&) noexcept;
  HttpRequest& operator=(HttpRequest&&) noexcept;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // One "Name: value" line. Fails (nothing is sent then) when memory ran out.
  arrow::Status AddHeader(std::string_view line);
  // "Authorization: Bearer <token>". Refuses a token with a line break or NUL
  // (it would inject headers); the header text is zeroed when freed.
  arrow::Status AddBearerToken(std::string_view token);

  // A POST with this body.
  void SetPostBody(std::string body);
  // A POST whose body `source` streams with chunked encoding (the caller adds
  // the Transfer-Encoding header).
  void SetStreamedUpload(Source source, Rewind rewind);
  void SetReceiver(Receiver receiver);
  // With a receiver: lets the body skip the receive buffer (see ReceiveWindow).
  void SetReceiveWindow(ReceiveWindow window, WindowFilled filled);
  void SetAbortCheck(AbortCheck abort_check);

  // The connection's settings: no signals, connect time-out, pool (`share`,
  // may be null; the caller keeps it alive), TCP keep-alive, User-Agent
  // (empty: the one `options` gives) and proxy. `options` may be null.
  void SetConnection(const zv_conn_options* options, const ConnectionShare* share,
                     const std::string& user_agent = std::string());
  // The TLS policy, applied when performing; null: libcurl's defaults. The
  // caller keeps it alive.
  void SetTls(const zv_tls_config* tls);
  // Whole-request limit in seconds; 0: none.
  void SetTotalTimeout(long seconds);
  // Stops a transfer that received nothing for `seconds`.
  void SetStallTimeout(long seconds);
  void SetReceiveBufferBytes(long bytes);
  void SetNoDelay();
  // Never reuses a pooled connection for this request.
  void SetFreshConnection();

  // Runs the exchange: the HTTP status of a completed one (any status; the
  // caller decides what is success), else an IOError carrying a
  // TransferError.
  arrow::Result<long> Perform();
  // The status of the last response received so far (0: none).
  long ResponseStatus() const;

 private:
  struct Impl;
  explicit HttpRequest(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Appends the body to `response`, at most `limit` bytes (a longer body stops
// the transfer).
HttpRequest::Receiver CappedBodyReceiver(std::string* response, size_t limit);

// Sets up libcurl for the whole process; call once before any request.
void InitialiseTransportOnce();

}  // namespace zv
