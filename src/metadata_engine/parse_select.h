// The SQL front end: one SQL text to a SelectStatement, or a precise reason
// why the text is not for the metadata engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "metadata_engine/statement_model.h"

namespace zv_sql {

enum class ParseCode : int32_t {
  None = 0,
  Malformed = 1,   // syntax error, or a tree missing a part the grammar supplies
  OutOfScope = 2,  // valid SQL the metadata engine does not handle
  ParserThrew = 3,
};

struct ParseStatus {
  ParseCode code = ParseCode::None;
  std::string message;
  int32_t location = -1;  // the parser's error position for syntax errors, else -1
};

// Never throws. Returns the statement, or null with `status` saying why; no
// partial statement is ever returned. Safe to call from any thread.
SelectPtr parse_select(std::string_view sql, ParseStatus& status);

}  // namespace zv_sql
