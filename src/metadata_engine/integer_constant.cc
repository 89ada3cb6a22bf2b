#include <cctype>

#include "metadata_engine/translate_context_internal.h"

namespace zv_sql::internal {

namespace {

// Skips one blank, bracket or comment at `pos`; false when there is none.
bool skip_filler(std::string_view text, size_t& pos) {
  if (pos >= text.size()) return false;
  const char c = text[pos];
  if (std::isspace(static_cast<unsigned char>(c)) || c == '(') {
    ++pos;
    return true;
  }
  if (text.compare(pos, 2, "--") == 0) {
    const size_t end = text.find('\n', pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    return true;
  }
  if (text.compare(pos, 2, "/*") == 0) {
    int open = 0;  // block comments nest in this dialect
    while (pos < text.size()) {
      if (text.compare(pos, 2, "/*") == 0) {
        ++open;
        pos += 2;
      } else if (text.compare(pos, 2, "*/") == 0) {
        pos += 2;
        if (--open == 0) return true;
      } else {
        ++pos;
      }
    }
    return true;
  }
  return false;
}

std::optional<int64_t> read_integer_at(std::string_view text, int64_t location) {
  if (location < 0 || static_cast<size_t>(location) >= text.size()) return std::nullopt;
  size_t pos = static_cast<size_t>(location);
  bool negative = false;
  while (pos < text.size()) {
    if (text[pos] == '-') {
      negative = !negative;
      ++pos;
    } else if (!skip_filler(text, pos)) {
      break;
    }
  }
  int64_t value = 0;
  size_t digits = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && digits < 11) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  // The parser only makes integer constants of values that fit 32 bits.
  if (digits == 0 || value > 2147483648LL) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace

std::optional<int64_t> integer_constant(TranslateContext& ctx, const json& a_const) {
  const json* holder = member(a_const, "ival");
  if (holder == nullptr) return std::nullopt;
  if (const json* ival = member(*holder, "ival"); ival && ival->is_number_integer()) {
    const int64_t value = ival->get<int64_t>();
    if (value > 0) return value;
  }
  const json* location = member(a_const, "location");
  const int64_t at = (location && location->is_number_integer()) ? location->get<int64_t>() : -1;
  auto value = read_integer_at(ctx.sql, at);
  if (!value) {
    ctx.fail(ParseCode::Malformed, "integer constant unreadable at its position in the text");
  }
  return value;
}

}  // namespace zv_sql::internal
