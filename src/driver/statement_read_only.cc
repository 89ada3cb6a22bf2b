#include "driver/statement_read_only.h"

#include <adbc.h>

#include <span>
#include <string>
#include <vector>

#include "driver/sql_placeholders.h"
#include "util/ascii.h"
#include "util/failure.h"

namespace zv {

namespace {

using Tokens = std::span<const std::string_view>;

// Leading keywords of statements that cannot write.
constexpr std::string_view kReadingStatements[] = {
    "SELECT", "VALUES",    "TABLE", "FROM",    "WITH",        "SHOW",        "DESCRIBE",
    "DESC",   "SUMMARIZE", "PIVOT", "UNPIVOT", "PIVOT_WIDER", "PIVOT_LONGER"};

// Words that make a statement of that shape write: a data-modifying CTE
// (also under EXPLAIN ANALYZE), SELECT ... INTO a new table, row locks.
constexpr std::string_view kWritingClauses[] = {"INSERT", "UPDATE", "DELETE", "MERGE", "INTO"};

// Functions whose call changes state (sequences, checkpoints) or runs SQL
// given as text, which the driver cannot see.
constexpr std::string_view kWritingFunctions[] = {"nextval",     "setval",     "query",
                                                  "query_table", "checkpoint", "force_checkpoint"};

// Options between EXPLAIN and the statement it explains.
constexpr std::string_view kExplainOptions[] = {"ANALYZE", "ANALYSE", "VERBOSE"};

template <size_t N>
bool IsOneOf(std::string_view word, const std::string_view (&words)[N]) {
  for (std::string_view candidate : words) {
    if (ascii_iequals(word, candidate)) return true;
  }
  return false;
}

// A quoted identifier's name (the service folds quoted function names too);
// other tokens as they are. A name with a doubled quote inside names no
// function listed here, so it needs no unescaping.
std::string_view Unquoted(std::string_view token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
    return token.substr(1, token.size() - 2);
  }
  return token;
}

// EXPLAIN's options: keywords and a parenthesized list (a parenthesis that
// opens a query is the explained statement).
Tokens SkipExplainOptions(Tokens tokens) {
  while (!tokens.empty()) {
    if (IsOneOf(tokens.front(), kExplainOptions)) {
      tokens = tokens.subspan(1);
    } else if (tokens.front() == "(" &&
               !(tokens.size() > 1 && IsOneOf(tokens[1], kReadingStatements))) {
      size_t depth = 0, i = 0;
      for (; i < tokens.size(); ++i) {
        if (tokens[i] == "(") ++depth;
        if (tokens[i] == ")" && --depth == 0) break;
      }
      tokens = tokens.subspan(i < tokens.size() ? i + 1 : tokens.size());
    } else {
      break;
    }
  }
  return tokens;
}

arrow::Status CheckStatement(Tokens tokens) {
  size_t first = 0;
  while (first < tokens.size() && tokens[first] == "(") ++first;
  if (first == tokens.size()) return arrow::Status::OK();  // nothing that runs
  const std::string_view keyword = tokens[first];
  if (ascii_iequals(keyword, "EXPLAIN")) {
    // EXPLAIN ANALYZE runs the statement it explains.
    Tokens explained = SkipExplainOptions(tokens.subspan(first + 1));
    if (explained.empty()) return ReadOnlyRefusal("an EXPLAIN without a statement");
    return CheckStatement(explained);
  }
  if (!IsOneOf(keyword, kReadingStatements)) {
    return ReadOnlyRefusal("a statement starting with " + std::string(keyword));
  }
  for (size_t i = first; i < tokens.size(); ++i) {
    if (IsOneOf(tokens[i], kWritingClauses)) {
      return ReadOnlyRefusal("a statement with " + std::string(tokens[i]));
    }
    const bool called = i + 1 < tokens.size() && tokens[i + 1] == "(";
    if (called && IsOneOf(Unquoted(tokens[i]), kWritingFunctions)) {
      return ReadOnlyRefusal("a call of " + std::string(tokens[i]) + "()");
    }
  }
  return arrow::Status::OK();
}

}  // namespace

arrow::Status ReadOnlyRefusal(std::string_view what) {
  return Failure(FailureKind::kInvalidState, "25006",
                 "the connection is read-only (" ADBC_CONNECTION_OPTION_READ_ONLY "): " +
                     std::string(what) + " may write, so it was not sent");
}

arrow::Status CheckReadOnlySql(std::string_view sql) {
  const std::vector<std::string_view> tokens = CodeTokens(sql);
  size_t start = 0;
  for (size_t i = 0; i <= tokens.size(); ++i) {
    if (i < tokens.size() && tokens[i] != ";") continue;
    ARROW_RETURN_NOT_OK(CheckStatement(Tokens(tokens).subspan(start, i - start)));
    start = i + 1;
  }
  return arrow::Status::OK();
}

}  // namespace zv
