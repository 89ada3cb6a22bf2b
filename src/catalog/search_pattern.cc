#include "catalog/search_pattern_internal.h"

#include <cstddef>
#include <vector>

#include "util/ascii.h"

namespace zv {

namespace {

enum class TokenKind { kLiteral, kAnyOne, kAnyRun };

struct Token {
  TokenKind kind;
  char literal;
};

std::vector<Token> Tokenise(std::string_view pattern) {
  std::vector<Token> tokens;
  tokens.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      tokens.push_back({TokenKind::kLiteral, i + 1 < pattern.size() ? pattern[++i] : c});
    } else if (c == '%') {
      tokens.push_back({TokenKind::kAnyRun, 0});
    } else if (c == '_') {
      tokens.push_back({TokenKind::kAnyOne, 0});
    } else {
      tokens.push_back({TokenKind::kLiteral, c});
    }
  }
  return tokens;
}

bool MatchesOne(const Token& token, char c) {
  return token.kind == TokenKind::kAnyOne || ascii_lower(token.literal) == ascii_lower(c);
}

}  // namespace

// Greedy matching that remembers only the latest "%": iterative and bounded
// by pattern length times value length, so host-supplied patterns can neither
// exhaust the stack nor backtrack exponentially.
bool MatchesSearchPattern(const char* pattern, std::string_view value) {
  if (pattern == nullptr || pattern[0] == '\0') return true;
  const std::vector<Token> tokens = Tokenise(pattern);
  size_t t = 0, v = 0;
  size_t star = tokens.size();  // no "%" seen yet
  size_t star_value = 0;
  while (v < value.size()) {
    if (t < tokens.size() && tokens[t].kind == TokenKind::kAnyRun) {
      star = t++;
      star_value = v;
    } else if (t < tokens.size() && MatchesOne(tokens[t], value[v])) {
      ++t;
      ++v;
    } else if (star != tokens.size()) {
      t = star + 1;
      v = ++star_value;
    } else {
      return false;
    }
  }
  while (t < tokens.size() && tokens[t].kind == TokenKind::kAnyRun) ++t;
  return t == tokens.size();
}

}  // namespace zv
