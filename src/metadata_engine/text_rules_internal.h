// Where the engine's text handling and the service's part ways: which casts
// convert alike on both sides, and which characters the two case mappings
// (upper, lower, ILIKE) treat differently. A value outside those rules
// declines the statement.
#pragma once

#include <arrow/datum.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

namespace zv_sql::internal {

// OK when casting `value` to `target` gives the service's result (or an
// error where the service raises one too); declines otherwise.
arrow::Status check_cast(const arrow::Datum& value, const arrow::DataType& target);

// Declines when a text value holds a character whose upper or lower case
// differs between the engine's and the service's Unicode tables.
arrow::Status check_case_mapping(const arrow::Datum& value);

}  // namespace zv_sql::internal
