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

bool digit_at(std::string_view text, size_t at) {
  return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
}

// Where the digits of the constant at `location` begin, past its signs and
// any blanks, brackets and comments; `negative` tells the signs' sum.
std::optional<size_t> digits_at(std::string_view text, int64_t location, bool& negative) {
  if (location < 0 || static_cast<size_t>(location) >= text.size()) return std::nullopt;
  size_t pos = static_cast<size_t>(location);
  negative = false;
  while (pos < text.size()) {
    if (text[pos] == '-') {
      negative = !negative;
      ++pos;
    } else if (!skip_filler(text, pos)) {
      break;
    }
  }
  return pos;
}

// Leading zeros are left to the service: it names the column as written
// ("005"), and they would count against the digits read here.
bool has_leading_zero(std::string_view text, size_t pos) {
  return digit_at(text, pos) && text[pos] == '0' && digit_at(text, pos + 1);
}

std::optional<int64_t> read_integer_at(std::string_view text, int64_t location) {
  bool negative = false;
  std::optional<size_t> start = digits_at(text, location, negative);
  if (!start || has_leading_zero(text, *start)) return std::nullopt;
  size_t pos = *start;
  int64_t value = 0;
  size_t digits = 0;
  while (digit_at(text, pos) && digits < 11) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  // The parser only makes integer constants of values that fit 32 bits.
  if (digits == 0 || digit_at(text, pos) || value > 2147483648LL) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace

std::optional<int64_t> integer_constant(TranslateContext& ctx, const json& a_const) {
  const json* holder = member(a_const, "ival");
  if (holder == nullptr) return std::nullopt;
  const json* location = member(a_const, "location");
  const int64_t at = (location && location->is_number_integer()) ? location->get<int64_t>() : -1;
  if (const json* ival = member(*holder, "ival"); ival && ival->is_number_integer()) {
    const int64_t value = ival->get<int64_t>();
    bool negative = false;
    const std::optional<size_t> start = digits_at(ctx.sql, at, negative);
    if (value > 0 && !(start && has_leading_zero(ctx.sql, *start))) return value;
  }
  auto value = read_integer_at(ctx.sql, at);
  if (!value) {
    ctx.fail(ParseCode::OutOfScope, "integer constant not read as written at its position");
  }
  return value;
}

}  // namespace zv_sql::internal
