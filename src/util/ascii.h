// ASCII-only case folding: option values, log levels, secret patterns, SQL
// identifiers and catalog type names are compared this way, independent of
// the process locale.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zv {

constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

constexpr bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The value of a hexadecimal digit, or -1 for any other character.
constexpr int ascii_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Option text for a flag: "true", "yes", "on", "1" / "false", "no", "off",
// "0", ASCII case-insensitive; anything else (null and empty included) is
// rejected.
inline std::optional<bool> ParseBooleanText(const char* text) {
  if (text == nullptr) return std::nullopt;
  for (std::string_view t : {"true", "yes", "on", "1"}) {
    if (ascii_iequals(text, t)) return true;
  }
  for (std::string_view f : {"false", "no", "off", "0"}) {
    if (ascii_iequals(text, f)) return false;
  }
  return std::nullopt;
}

}  // namespace zv
