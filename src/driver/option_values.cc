#include "driver/option_values.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/ascii.h"

namespace zv {

namespace {

// Base-10 conversion with strtoll's leniency (leading white space, a sign) but
// none of its silent failures: a digit must be read, the text fully consumed
// and the value in range.
std::optional<long long> ParseWholeInteger(const char* text) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return std::nullopt;
  // strtoll accepts a sign without digits only by consuming nothing, which
  // end == text catches; a lone sign followed by digits is fine.
  return value;
}

}  // namespace

bool EqualsIgnoreAsciiCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  return ascii_iequals(a, b);
}

std::optional<int32_t> ParseDatabaseInteger(const char* text) {
  if (text == nullptr) return std::nullopt;
  const size_t len = std::strlen(text);
  if (len == 0 || len > 31) return std::nullopt;
  auto value = ParseWholeInteger(text);
  if (!value || *value < 0 || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<uint32_t> ParseConnectionInteger(const char* text) {
  if (text == nullptr || text[0] == '\0') return std::nullopt;
  auto value = ParseWholeInteger(text);
  if (!value || *value < 0 || *value > INT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

bool IsTlsEncryptMode(const char* text) {
  for (const char* mode : {"off", "optional", "mandatory", "strict"}) {
    if (EqualsIgnoreAsciiCase(text, mode)) return true;
  }
  return false;
}

bool IsTlsMinVersion(const char* text) {
  if (text == nullptr) return false;
  for (const char* v : {"1.0", "1.1", "1.2", "1.3", "any", "ANY", "Any"}) {
    if (std::strcmp(text, v) == 0) return true;
  }
  return false;
}

}  // namespace zv
