// Statements with subqueries where the engine does not run them (ON
// conditions); they are declined so that compute answers them.
#pragma once

#include <optional>
#include <string>

#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// The reason to decline `statement`, or nothing when the single-table
// pipeline covers it.
std::optional<std::string> pending_step_reason(const SelectStatement& statement);

}  // namespace zv_sql::internal
