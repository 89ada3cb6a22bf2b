// Translation of SQL LIKE patterns for the regular-expression matcher.
#pragma once

#include <string>
#include <string_view>

namespace zv_sql {

// The anchored regular expression that matches what `pattern` matches under
// LIKE: "%" is ".*", "_" is ".", `escape` makes the next character literal (a
// trailing escape is itself literal) and regex metacharacters are escaped.
std::string like_to_regex(std::string_view pattern, char escape);

// Whether `pattern` holds an unescaped "%" or "_".
bool like_has_wildcard(std::string_view pattern, char escape);

// The literal text of a pattern without wildcards: escapes removed.
std::string like_unescape(std::string_view pattern, char escape);

}  // namespace zv_sql
