// The failures an exchange reports, shared by the libcurl transfer and the
// direct one (direct_exchange_internal.h).
#pragma once

#include <curl/curl.h>

#include <string>

#include "transport/http_request.h"

namespace zv {

// An IOError carrying `kind` and the driver's failure terms: time-outs are
// kTimeout, the rest kIo; `sqlstate` may be empty (whoever reports the text
// then picks it).
arrow::Status TransferFailure(TransferError kind, const std::string& message,
                              const char* sqlstate = "");

// The SQLSTATE class of a libcurl result: 08001 when no connection could be
// made (name resolution, refused, TLS handshake), 08006 when one broke, HYT00
// for the time-outs; empty for results that name no such class.
const char* SqlStateOfCurlResult(CURLcode rc);

}  // namespace zv
