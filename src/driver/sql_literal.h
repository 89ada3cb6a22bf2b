// Values of bound parameters written as SQL literals of their own type. The
// service takes SQL text only, so every bound value travels as a literal.
#pragma once

#include <arrow/array.h>
#include <arrow/result.h>

#include <string>

namespace zv {

// The value at `row` of `column` as a self-contained SQL literal of the
// column's own SQL type (the ingest path's column type for the Arrow type),
// so that every row of a parameter set, NULLs too, gives the same result
// type: NULL (typed by a CAST, except for the null type), TRUE/FALSE, int32
// as it is, other integers, floats (NaN and infinities too), decimals,
// binary, dates, times, timestamps, durations and intervals as an explicit
// CAST of a standard SQL string, lists, maps and structs as CASTs of their
// elements' literals. Dictionary-encoded values are bound as their values,
// float16 widened to REAL, decimal256 of up to 38 digits as DECIMAL. Text
// with a NUL byte or invalid UTF-8 is refused (22021), a value the service
// would store less exactly (a time or zoned timestamp finer than a
// microsecond) 22018, types without a column type NOT_IMPLEMENTED, naming the
// type.
arrow::Result<std::string> RenderSqlLiteral(const arrow::Array& column, int64_t row);

// Whether RenderSqlLiteral knows the type (checked before anything is sent).
arrow::Status CheckRenderableType(const arrow::DataType& type);

}  // namespace zv
