#include "driver/option_access.h"

#include <charconv>
#include <cstring>

#include "driver/adbc_status.h"

namespace zv {

arrow::Status OptionNotSet(const std::string& key) {
  return Failure(FailureKind::kNotFound, "HY092", "option not set or not known: " + key);
}

arrow::Status SecretOption(const std::string& key) {
  return Failure(FailureKind::kNotFound, "HY092",
                 "option " + key + " holds a secret and cannot be read back");
}

void CopyOptionText(const std::string& value, char* out, size_t* length) {
  const size_t needed = value.size() + 1;
  if (out != nullptr && *length >= needed) std::memcpy(out, value.c_str(), needed);
  *length = needed;
}

void CopyOptionBytes(const std::string& value, uint8_t* out, size_t* length) {
  // Bytes, not text: no terminator is owed.
  if (out != nullptr && *length >= value.size())
    std::memcpy(out, value.data(), value.size());  // NOLINT(bugprone-not-null-terminated-result)
  *length = value.size();
}

arrow::Result<int64_t> OptionAsInt(const std::string& key, const std::string& value) {
  int64_t parsed = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
  if (ec != std::errc() || end != value.data() + value.size()) {
    if (value == "true") return 1;
    if (value == "false") return 0;
    return Failure(FailureKind::kInvalidArgument, "HY024",
                   "option " + key + " is not an integer (\"" + value + "\")");
  }
  return parsed;
}

arrow::Result<double> OptionAsDouble(const std::string& key, const std::string& value) {
  double parsed = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
  if (ec != std::errc() || end != value.data() + value.size()) {
    return Failure(FailureKind::kInvalidArgument, "HY024",
                   "option " + key + " is not a number (\"" + value + "\")");
  }
  return parsed;
}

std::string IntOptionText(int64_t value) { return std::to_string(value); }

std::string DoubleOptionText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, static_cast<size_t>(result.ptr - buffer));
}

arrow::Result<std::string> BytesOptionText(const std::string& key, const uint8_t* value,
                                           size_t length) {
  if (value == nullptr && length != 0) return NullArgument("null value for option " + key);
  std::string text(reinterpret_cast<const char*>(value), length);
  if (text.find('\0') != std::string::npos) {
    return InvalidOptionValue("option " + key + " cannot hold NUL bytes");
  }
  return text;
}

}  // namespace zv
