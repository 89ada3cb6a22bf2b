// Applying a connection's TLS policy to a libcurl handle.
#pragma once

#include <arrow/status.h>
#include <curl/curl.h>

#include "transport/curl_handles_internal.h"
#include "transport/tls_config.h"

namespace zv {

// Sets the policy's libcurl options on `easy`, which already has its URL.
// With a host-name override the handle verifies (and sends SNI for)
// `host_in_cert` but connects to the URL's own host and port; the connect-to
// list that makes this work is handed to the caller through `connect_to_out`
// and must outlive the transfer. Messages fit 256 bytes.
arrow::Status zv_tls_apply_to_curl(CURL* easy, const zv_tls_config* cfg, const char* url,
                                   CurlSlist* connect_to_out);

}  // namespace zv
