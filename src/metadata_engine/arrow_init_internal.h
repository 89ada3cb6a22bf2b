// One-time set-up of the Arrow facilities the engine calls by name.
#pragma once

#include <arrow/status.h>

namespace zv_sql::internal {

// Registers the compute functions (needed before any call by name) once per
// process; later calls return the first outcome.
arrow::Status ensure_arrow_initialized();

}  // namespace zv_sql::internal
