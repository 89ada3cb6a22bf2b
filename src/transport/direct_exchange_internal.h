// A POST whose response body is received straight into the receiver's
// memory where it offers a window (a result stream's frame payloads), instead
// of into libcurl's receive buffer and copied from there: libcurl has no way
// to receive into the caller's memory, so this exchange uses libcurl only to
// connect (CONNECT_ONLY: TCP, and TLS with the connection's policy) and
// speaks HTTP/1.1 itself. Over plain HTTP the kernel copies the bytes into
// that memory; over TLS OpenSSL decrypts them into it. Its connections are
// kept for the next exchange in the connection share. What it does not
// handle (a proxy, a host-name override, a redirect within the origin) it
// leaves to the libcurl transfer before the receiver has seen a byte.
#pragma once

#include <curl/curl.h>

#include <optional>
#include <string>

#include "transport/http_request.h"

namespace zv {

class ConnectionShare;
struct zv_conn_options;
struct zv_tls_config;

struct DirectExchange {
  const std::string& url;
  const curl_slist* headers;  // "Name: value" lines, libcurl's way
  const std::string& user_agent;
  const std::string& body;
  const zv_conn_options* options;  // may be null
  const ConnectionShare* share;    // may be null: no connection is kept
  const zv_tls_config* tls;        // may be null: libcurl's defaults
  long total_timeout;              // seconds; 0: none
  long stall_timeout;              // seconds; 0: none
  const HttpRequest::Receiver& receiver;
  const HttpRequest::ReceiveWindow& window;
  const HttpRequest::WindowFilled& filled;
  const HttpRequest::AbortCheck& abort_check;  // may be empty
  long* status;  // set to the response's status once its head has arrived
};

// The exchange's result as HttpRequest::Perform reports it, or nullopt when it
// is not one this path takes; then the receiver has been given nothing.
std::optional<arrow::Result<long>> PerformDirect(const DirectExchange& exchange);

}  // namespace zv
