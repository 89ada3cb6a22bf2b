#pragma once

#include <string_view>

namespace zv {

// Whether `value` matches the catalog search pattern as a whole, ASCII case
// ignored: "%" matches any run of characters (also none), "_" any single
// character, and a backslash makes the next pattern character literal (a
// trailing backslash stands for itself). A null or empty pattern matches
// every value.
bool MatchesSearchPattern(const char* pattern, std::string_view value);

}  // namespace zv
