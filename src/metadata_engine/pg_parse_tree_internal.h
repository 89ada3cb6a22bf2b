// Runs the PostgreSQL-dialect parser and hands its tree back as JSON.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "metadata_engine/parse_select.h"
#include "metadata_engine/parse_tree_cache_internal.h"

namespace zv_sql::internal {

// Parses `sql` under the process-wide parser mutex and decodes the tree after
// the mutex is released. On failure returns null and fills `status`
// (Malformed for a syntax error with the parser's position, ParserThrew for
// any exception raised while parsing or decoding, OutOfScope for a text too
// long to parse safely). The tree of a short text is kept, and a later call
// with the same text gets the same tree.
ParseTree parse_to_json_tree(std::string_view sql, ParseStatus& status);

}  // namespace zv_sql::internal
