// Translation of SQL LIKE patterns for the regular-expression matcher.
#pragma once

#include <string>
#include <string_view>

namespace zv_sql {

// The anchored regular expression that matches what `pattern` matches under
// LIKE: "%" is ".*", "_" is ".", `escape` makes the next character literal (a
// trailing escape is itself literal) and regex metacharacters are escaped.
std::string like_to_regex(std::string_view pattern, char escape);

// How a pattern can be matched: most catalog patterns are a literal text
// with "%" only at its ends, which a plain comparison, prefix, suffix or
// substring test decides without a regular expression.
struct LikePlan {
  enum class Kind { kEquals, kStartsWith, kEndsWith, kContains, kRegex };
  Kind kind;
  std::string text;  // the literal text (escapes removed); unused for kRegex
};
LikePlan plan_like(std::string_view pattern, char escape);

}  // namespace zv_sql
