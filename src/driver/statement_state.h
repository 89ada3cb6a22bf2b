// What a statement holds between calls. The SQL and the bound data come from
// separate calls in either order, and a run consumes the data but keeps the
// SQL; the ingest target is an option beside them (ingest_options.h), which
// decides whether bound data is parameters of the SQL or rows to load.
#pragma once

#include <string>
#include <variant>

#include "util/owned_arrow_stream.h"

namespace zv {

// Neither SQL nor data yet; every state the data was spent from with no SQL.
struct NoCommand {};

// SetSqlQuery without bound data: Execute runs the SQL.
struct SqlCommand {
  std::string sql;
};

// Data bound without SQL: only an ingest can use it.
struct BoundData {
  OwnedArrowStream data;  // bound
};

// SQL and bound data: the rows to load when an ingest target is set,
// else the SQL's parameters.
struct SqlWithBoundData {
  std::string sql;
  OwnedArrowStream data;  // bound
};

using StatementState = std::variant<NoCommand, SqlCommand, BoundData, SqlWithBoundData>;

// SetSqlQuery: the SQL replaces any earlier one; bound data stays.
StatementState WithSql(StatementState state, std::string sql);

// Bind: the data replaces any earlier data; the SQL stays.
StatementState WithBoundData(StatementState state, OwnedArrowStream data);

// The data released, the SQL kept.
StatementState WithoutBoundData(StatementState state);

// After a run: the data released when the run consumed it, as every ingest
// and every parameter run past its placeholder check does.
StatementState WithoutSpentData(StatementState state);

// The SQL set by SetSqlQuery; null when there is none.
const std::string* SqlOf(const StatementState& state);

}  // namespace zv
