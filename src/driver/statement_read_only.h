// What a read-only connection lets through: only SQL that can be shown to
// read, judged from its text before anything is sent.
#pragma once

#include <arrow/status.h>

#include <string_view>

namespace zv {

// OK when every statement of `sql` (a second one after `;` counts) starts
// with a keyword that only reads (SELECT, VALUES, TABLE, FROM, WITH, SHOW,
// DESCRIBE, SUMMARIZE, PIVOT, EXPLAIN of such a statement) and nowhere holds
// a clause that writes (INSERT, UPDATE, DELETE, MERGE, SELECT ... INTO) or a
// call of a function that changes state (nextval, setval, ...). Anything
// else is refused with 25006, INVALID_STATE, naming what decided it.
arrow::Status CheckReadOnlySql(std::string_view sql);

// The refusal of a read-only connection for `what` (an ingest, say).
arrow::Status ReadOnlyRefusal(std::string_view what);

}  // namespace zv
