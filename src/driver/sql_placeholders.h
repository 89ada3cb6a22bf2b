// Where a SQL text takes positional `?` parameters, and the text with values
// put in their place.
#pragma once

#include <arrow/result.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Offsets of the `?` placeholders that lie outside string literals (standard,
// E'' escape and dollar-quoted), quoted identifiers and comments. Numbered
// placeholders (`?1`) are refused: the service would number them differently
// from the order of the bound columns.
arrow::Result<std::vector<size_t>> FindPlaceholders(std::string_view sql);

// The statement's first keyword, as written: white space, comments and
// opening parentheses before it are skipped; empty when the text starts with
// anything else.
std::string_view FirstKeyword(std::string_view sql);

// The code of `sql` as tokens, in order: words (runs of letters, digits, `_`
// and `$`, as written), quoted identifiers (with their quotes) and the
// characters ( ) and ;. Literals and comments are skipped, as
// FindPlaceholders skips them.
std::vector<std::string_view> CodeTokens(std::string_view sql);

// `sql` with the placeholder at positions[i] replaced by literals[i]. Each
// literal is set off by spaces so that it cannot merge with a neighbouring
// token (a minus sign into a comment, a quote into a longer literal).
std::string SubstituteParameters(std::string_view sql, const std::vector<size_t>& positions,
                                 const std::vector<std::string>& literals);

// A statement of the shape `INSERT INTO ... VALUES (?, ..., ?)` with nothing
// but placeholders in its one row and nothing after it: several parameter
// rows can then go as one multi-row VALUES.
struct SimpleInsert {
  std::string head;  // everything before the row's opening parenthesis
};
std::optional<SimpleInsert> MatchSimpleInsert(std::string_view sql,
                                              const std::vector<size_t>& positions);

}  // namespace zv
