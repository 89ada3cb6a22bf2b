#include "driver/sql_placeholders.h"

#include "util/ascii.h"

#include <cctype>

#include "driver/adbc_status.h"

namespace zv {

namespace {

bool IsIdentifierChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

// Each Skip* takes the offset of the construct's first character and returns
// the offset just past its end (the text's end when it is unterminated: the
// server reports that, and nothing inside it is a placeholder).

size_t SkipQuoted(std::string_view sql, size_t at, char quote, bool backslash_escapes) {
  for (size_t i = at + 1; i < sql.size(); ++i) {
    if (backslash_escapes && sql[i] == '\\') {
      ++i;
    } else if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote) {
        ++i;  // doubled quote stands for itself
      } else {
        return i + 1;
      }
    }
  }
  return sql.size();
}

size_t SkipLineComment(std::string_view sql, size_t at) {
  const size_t end = sql.find('\n', at);
  return end == std::string_view::npos ? sql.size() : end + 1;
}

// Block comments nest, as in PostgreSQL-dialect SQL.
size_t SkipBlockComment(std::string_view sql, size_t at) {
  int depth = 0;
  for (size_t i = at; i + 1 < sql.size(); ++i) {
    if (sql[i] == '/' && sql[i + 1] == '*') {
      ++depth;
      ++i;
    } else if (sql[i] == '*' && sql[i + 1] == '/') {
      ++i;
      if (--depth == 0) return i + 1;
    }
  }
  return sql.size();
}

// `$tag$ ... $tag$`; returns `at` when the dollar sign opens no such string.
size_t SkipDollarQuoted(std::string_view sql, size_t at) {
  size_t tag_end = at + 1;
  while (tag_end < sql.size() && sql[tag_end] != '$') {
    const unsigned char c = static_cast<unsigned char>(sql[tag_end]);
    const bool ok = std::isalpha(c) || c == '_' || (tag_end > at + 1 && std::isdigit(c));
    if (!ok) return at;
    ++tag_end;
  }
  if (tag_end >= sql.size()) return at;
  const std::string_view tag = sql.substr(at, tag_end - at + 1);
  const size_t close = sql.find(tag, tag_end + 1);
  return close == std::string_view::npos ? sql.size() : close + tag.size();
}

// The offset just past the literal, identifier or comment starting at `i`,
// or `i` when none starts there.
size_t SkipNonCode(std::string_view sql, size_t i) {
  const char c = sql[i];
  const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
  const bool after_identifier = i > 0 && IsIdentifierChar(sql[i - 1]);
  if (c == '\'') return SkipQuoted(sql, i, '\'', false);
  if (c == '"') return SkipQuoted(sql, i, '"', false);
  if ((c == 'E' || c == 'e') && next == '\'' && !after_identifier) {
    return SkipQuoted(sql, i + 1, '\'', true);
  }
  if (c == '-' && next == '-') return SkipLineComment(sql, i);
  if (c == '/' && next == '*') return SkipBlockComment(sql, i);
  if (c == '$' && !after_identifier) return SkipDollarQuoted(sql, i);
  return i;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() &&
         (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == ';')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string_view FirstKeyword(std::string_view sql) {
  size_t at = 0;
  while (at < sql.size()) {
    if (std::isspace(static_cast<unsigned char>(sql[at])) || sql[at] == '(') {
      ++at;
    } else if (sql.substr(at, 2) == "--") {
      const size_t end = sql.find('\n', at);
      at = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(at, 2) == "/*") {
      const size_t end = sql.find("*/", at + 2);
      at = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  size_t end = at;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  return sql.substr(at, end - at);
}

arrow::Result<std::vector<size_t>> FindPlaceholders(std::string_view sql) {
  std::vector<size_t> positions;
  for (size_t i = 0; i < sql.size();) {
    const size_t skipped = SkipNonCode(sql, i);
    if (skipped != i) {
      i = skipped;
      continue;
    }
    if (sql[i] == '?') {
      if (i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1]))) {
        return Failure(FailureKind::kNotImplemented, "HYC00",
                       "numbered placeholders (?1, ?2, ...) are not supported; use ? in the "
                       "order of the bound columns");
      }
      positions.push_back(i);
    }
    ++i;
  }
  return positions;
}

std::vector<std::string_view> CodeTokens(std::string_view sql) {
  std::vector<std::string_view> tokens;
  for (size_t i = 0; i < sql.size();) {
    const size_t skipped = SkipNonCode(sql, i);
    if (skipped != i) {
      // A quoted identifier stays a token, quotes and all: it may name a
      // function that is called.
      if (sql[i] == '"') tokens.push_back(sql.substr(i, skipped - i));
      i = skipped;
      continue;
    }
    if (IsIdentifierChar(sql[i])) {
      size_t end = i;
      while (end < sql.size() && IsIdentifierChar(sql[end])) ++end;
      tokens.push_back(sql.substr(i, end - i));
      i = end;
      continue;
    }
    if (sql[i] == '(' || sql[i] == ')' || sql[i] == ';') tokens.push_back(sql.substr(i, 1));
    ++i;
  }
  return tokens;
}

std::string SubstituteParameters(std::string_view sql, const std::vector<size_t>& positions,
                                 const std::vector<std::string>& literals) {
  size_t total = sql.size();
  for (const auto& literal : literals) total += literal.size() + 2;
  std::string out;
  out.reserve(total);
  size_t from = 0;
  for (size_t i = 0; i < positions.size() && i < literals.size(); ++i) {
    out.append(sql.substr(from, positions[i] - from));
    out += ' ';
    out += literals[i];
    out += ' ';
    from = positions[i] + 1;
  }
  out.append(sql.substr(from));
  return out;
}

std::optional<SimpleInsert> MatchSimpleInsert(std::string_view sql,
                                              const std::vector<size_t>& positions) {
  if (positions.empty() || !ascii_iequals(FirstKeyword(sql), "INSERT")) return std::nullopt;
  const std::string_view body = TrimRight(sql);
  if (body.empty() || body.back() != ')') return std::nullopt;
  // The row: from the parenthesis before the first placeholder to the end,
  // holding only placeholders, commas and white space.
  size_t open = positions.front();
  while (open > 0 && std::isspace(static_cast<unsigned char>(sql[open - 1]))) --open;
  if (open == 0 || sql[open - 1] != '(') return std::nullopt;
  --open;
  for (size_t i = open + 1; i + 1 < body.size(); ++i) {
    const char c = body[i];
    if (c != '?' && c != ',' && !std::isspace(static_cast<unsigned char>(c))) return std::nullopt;
  }
  // Just before the row: the keyword VALUES, in code (not inside a comment).
  std::string_view head = sql.substr(0, open);
  std::string_view trimmed = head;
  while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) {
    trimmed.remove_suffix(1);
  }
  if (trimmed.size() < 6) return std::nullopt;
  std::string_view keyword = trimmed.substr(trimmed.size() - 6);
  if (!ascii_iequals(keyword, "VALUES")) return std::nullopt;
  if (trimmed.size() > 6 && IsIdentifierChar(trimmed[trimmed.size() - 7])) return std::nullopt;
  // Every code character of the head must be outside literals and comments
  // up to VALUES: scan it and make sure VALUES is reached as code.
  size_t i = 0;
  const size_t values_at = trimmed.size() - 6;
  while (i < values_at) {
    const size_t skipped = SkipNonCode(head, i);
    if (skipped > values_at) return std::nullopt;
    i = skipped == i ? i + 1 : skipped;
  }
  return SimpleInsert{std::string(head)};
}

}  // namespace zv
