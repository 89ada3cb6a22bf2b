#pragma once

#include <string>
#include <string_view>

// Returns a copy of `text` with secrets replaced by "[REDACTED]": values of
// key=value pairs such as Pwd= or Token=, string values of JSON members such as
// "password", and bearer tokens. Used on every free text before it is logged
// or traced.
std::string zv_redact(std::string_view text);

// True when the option key names a secret whose value must never be logged
// (it contains "password", "token", "secret" or "client_key").
bool zv_is_secret_key(const char* key);
