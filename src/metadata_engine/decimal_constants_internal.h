// Decimal constants (0.1, 2.50) are exact in SQL and approximate here, so a
// statement uses them locally only where the approximation cannot show.
#pragma once

#include <optional>
#include <string>

#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// The reason to leave `statement` to compute because of a decimal constant,
// or nothing. Allowed: a decimal constant compared directly with a column,
// or listed in an IN list; comparing a column's value with the nearest double
// orders it the same way as with the exact decimal. Anywhere else (arithmetic,
// select lists, VALUES, function arguments) the result's value or type would
// differ from compute's. Nested subqueries are checked when they run.
std::optional<std::string> decimal_constant_reason(const SelectStatement& statement);

}  // namespace zv_sql::internal
