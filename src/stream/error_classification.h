#pragma once

#include <string>
#include <string_view>

namespace zv {

// Text used whenever a transport call fails without saying why.
inline constexpr const char* kNoTransportMessage =
    "Zorvane transport reported an error with no message";

// Maps an error text that came with no code (a server's message without a
// SQLSTATE, behind an HTTP status that says nothing more) to a five-character
// SQLSTATE by the first known phrase it contains ("HY000" when none matches).
const char* zv_classify_transport_message(std::string_view text);

// The error text for a compute node's HTTP response with status >= 400: the
// server's JSON "message" (or "error") when present, else the raw body.
// At most 1024 characters.
std::string zv_compute_error_text(std::string_view body, long http_status);

// Strips the service's wrapping prefixes ("SQL execution error: " ...) and a
// trailing " for '<statement>'" clause from a server message.
std::string zv_normalize_compute_message(std::string text);

// What a server's error document (ERROR frame or HTTP error body, JSON) says
// beside its message: a SQLSTATE and the server's own error code, each empty
// when absent. The SQLSTATE is returned only when well-formed.
struct ServerErrorFields {
  std::string sqlstate;
  std::string code;
};
ServerErrorFields zv_server_error_fields(std::string_view json_text);

// Five characters, each a digit or an upper-case ASCII letter.
bool zv_is_wellformed_sqlstate(std::string_view sqlstate);

}  // namespace zv
