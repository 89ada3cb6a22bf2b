#include "metadata_engine/like_to_regex_internal.h"

namespace zv_sql {

namespace {

bool is_regex_special(char c) {
  switch (c) {
    case '.':
    case '^':
    case '$':
    case '|':
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
    case '*':
    case '+':
    case '?':
    case '\\': return true;
    default: return false;
  }
}

void append_literal(std::string& out, char c) {
  if (is_regex_special(c)) out.push_back('\\');
  out.push_back(c);
}

// Walks `pattern`, calling on_literal for every character that stands for
// itself and on_wildcard for every unescaped "%" or "_".
template <typename Literal, typename Wildcard>
void scan_like(std::string_view pattern, char escape, Literal on_literal, Wildcard on_wildcard) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == escape) {
      on_literal(i + 1 < pattern.size() ? pattern[++i] : c);
    } else if (c == '%' || c == '_') {
      on_wildcard(c);
    } else {
      on_literal(c);
    }
  }
}

}  // namespace

std::string like_to_regex(std::string_view pattern, char escape) {
  std::string out = "^";
  scan_like(
      pattern, escape, [&](char c) { append_literal(out, c); },
      [&](char c) { out += (c == '%') ? ".*" : "."; });
  out.push_back('$');
  return out;
}

LikePlan plan_like(std::string_view pattern, char escape) {
  std::string text;
  size_t leading = 0, trailing = 0;
  bool regex = false;
  scan_like(
      pattern, escape,
      [&](char c) {
        // A literal after a trailing "%" puts a wildcard inside the text.
        if (trailing > 0) regex = true;
        text.push_back(c);
      },
      [&](char c) {
        if (c == '_') regex = true;
        (text.empty() ? leading : trailing) += 1;
      });
  using Kind = LikePlan::Kind;
  if (regex) return {Kind::kRegex, {}};
  if (leading == 0 && trailing == 0) return {Kind::kEquals, std::move(text)};
  if (text.empty() || leading == 0) return {Kind::kStartsWith, std::move(text)};
  if (trailing == 0) return {Kind::kEndsWith, std::move(text)};
  return {Kind::kContains, std::move(text)};
}

}  // namespace zv_sql
