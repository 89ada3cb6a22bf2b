#pragma once

#include <cstdint>
#include <optional>

#include "util/ascii.h"  // ParseBooleanText

namespace zv {

// Database integer options: 1 to 31 characters of base-10 text (leading white
// space and a sign allowed), fully consumed, in 0..2147483647.
std::optional<int32_t> ParseDatabaseInteger(const char* text);

// Connection integer options: non-empty base-10 text, fully consumed, not
// negative. Bounded to 2147483647, the range of the platform's `long` in
// production, so the same text is accepted everywhere.
std::optional<uint32_t> ParseConnectionInteger(const char* text);

// "off", "optional", "mandatory" or "strict", ASCII case-insensitive.
bool IsTlsEncryptMode(const char* text);

// Exactly "1.0", "1.1", "1.2", "1.3", "any", "ANY" or "Any".
bool IsTlsMinVersion(const char* text);

bool EqualsIgnoreAsciiCase(const char* a, const char* b);

}  // namespace zv
