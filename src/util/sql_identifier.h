// SQL identifiers written into statements the driver builds itself.
#pragma once

#include <string>
#include <string_view>

namespace zv {

// `name` as one quoted identifier, embedded quotes doubled, whatever it
// holds (a dot, a space or a keyword stays part of the name).
inline std::string QuoteIdentifier(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('"');
  for (const char ch : name) {
    if (ch == '"') out.push_back('"');
    out.push_back(ch);
  }
  out.push_back('"');
  return out;
}

}  // namespace zv
