#pragma once

#include <arrow/result.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "transport/tls_config.h"
#include "util/secret_string.h"

namespace zv {

class ConnectionShare;

// Per-connection request settings. Null pointers to this record mean all
// defaults.
struct zv_conn_options {
  int32_t connect_timeout_sec = 0;  // <= 0: 10 s
  std::string application_name;     // appended to the User-Agent
  std::string proxy_url;
  std::string proxy_user;            // sent only with a proxy URL
  SecretString proxy_pass;           // sent only with a proxy URL
  int32_t max_stream_buffer_mb = 0;  // <= 0: the result queue's default

  zv_conn_options() = default;
  zv_conn_options(const zv_conn_options& other) { *this = other; }
  zv_conn_options& operator=(const zv_conn_options& other) {
    connect_timeout_sec = other.connect_timeout_sec;
    application_name = other.application_name;
    proxy_url = other.proxy_url;
    proxy_user = other.proxy_user;
    proxy_pass = other.proxy_pass.Copy();
    max_stream_buffer_mb = other.max_stream_buffer_mb;
    return *this;
  }
};

inline constexpr const char* kDriverVersion = "1.0.0-alpha";
inline constexpr size_t kMaxJsonResponseBytes = 1024 * 1024;
inline constexpr long kDefaultConnectTimeoutSec = 10;

// "Zorvane-ODBC/<version>[ <application name>]"
std::string UserAgent(const zv_conn_options* options);

// Connect time-out in seconds for libcurl (the default when unset).
long ConnectTimeoutSec(const zv_conn_options* options);
// The bound on a whole control-plane request: the connect time-out when the
// host set one (a server that accepts and never answers must not hold the
// host longer), else `default_sec`.
long WholeRequestTimeoutSec(const zv_conn_options* options, long default_sec);

// One JSON request to the control plane and the connection settings it goes
// out under. Pointers are borrowed for the call; a null one means none (no
// Authorization header, libcurl's TLS defaults, default options, no pool, not
// cancellable).
struct HttpJsonRequest {
  std::string url;
  bool post = false;  // POST `body`; otherwise GET
  std::string_view body;
  const char* bearer_token = nullptr;
  const zv_tls_config* tls = nullptr;
  const zv_conn_options* options = nullptr;
  const ConnectionShare* share = nullptr;
  // The request is abandoned as soon as this turns true (a background poller
  // stopping at process exit must not wait for a slow server).
  const std::atomic<bool>* cancel = nullptr;

  // A GET of `url` under these connection settings; callers set the rest.
  static HttpJsonRequest Get(std::string url, const zv_tls_config* tls,
                             const zv_conn_options* options, const ConnectionShare* share);
};

// Performs `request`. Returns the HTTP status of a completed exchange (any
// status: callers decide what is success), or an IOError with "HTTP transport
// error: ..." / "TLS configuration: ..." carrying the transfer's failure when
// the exchange did not complete. The body (at most 1 MiB) is appended to
// `response`.
arrow::Result<long> zv_http_json(const HttpJsonRequest& request, std::string* response);

// Marks a failed request with the HTTP status the server answered, so that
// callers can tell a refused token (401) from other failures without reading
// the message, and the host is told the SQLSTATE the status says
// (SqlStateOfHttpStatus) whatever the server's text contains.
arrow::Status WithHttpStatus(arrow::Status status, long http_status);
// The status given to WithHttpStatus, or 0.
long HttpStatusOf(const arrow::Status& status);

// "<operation> failed (HTTP <status>): <server's error or first 256 bytes>"
std::string HttpErrorMessage(const char* operation, long status, const std::string& body);

// "control plane auth failed (HTTP <status>): <message [error] (details)>"
std::string AuthErrorMessage(long status, const std::string& body);

// True when the text contains a line feed, carriage return or NUL, which
// would let it inject headers or cut one short.
bool HasForbiddenControlCharacters(std::string_view text);

}  // namespace zv
