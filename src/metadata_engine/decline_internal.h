// A way for a pipeline step to say "route this statement to compute" through
// an ordinary arrow::Status, distinct from every failure Arrow itself reports.
#pragma once

#include <optional>
#include <string>

#include <arrow/status.h>

namespace zv_sql::internal {

// A failed status that the engine turns into NotHandled with `reason`.
arrow::Status decline(std::string reason);

// The reason when `status` came from decline(), else nothing.
std::optional<std::string> declined_reason(const arrow::Status& status);

}  // namespace zv_sql::internal
