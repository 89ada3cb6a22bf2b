// Values of bound parameters written as SQL literals of their own type. The
// service takes SQL text only, so every bound value travels as a literal.
#pragma once

#include <arrow/array.h>
#include <arrow/result.h>

#include <string>

namespace zv {

// The value at `row` of `column` as a self-contained SQL literal: NULL,
// TRUE/FALSE, integers (negative ones in parentheses), and for the other
// types an explicit CAST of a standard SQL string (quotes doubled) to the
// value's type, so floats (NaN and infinities too), decimals, binary, dates,
// times and timestamps arrive exactly. Text with a NUL byte or invalid UTF-8
// is refused (22021); types without a rendering are NOT_IMPLEMENTED, naming
// the type.
arrow::Result<std::string> RenderSqlLiteral(const arrow::Array& column, int64_t row);

// Whether RenderSqlLiteral knows the type (checked before anything is sent).
arrow::Status CheckRenderableType(const arrow::DataType& type);

}  // namespace zv
