#pragma once

#include "diagnostics/log.h"

namespace zv {

// The SQL trace: one line per SQL text sent to compute or answered locally.
// Process-wide, unlevelled, never rotated.

// Closes any open trace and, when `path` is non-empty, opens the new one.
void zv_sql_trace_open(const char* path);
bool zv_sql_trace_enabled();
// Appends one line when the trace is enabled.
void zv_sql_trace_write(const char* format, ...) ZV_PRINTF_FORMAT(1, 2);

// Writes "<label> -> <sql>" with the SQL scrubbed of secrets.
void zv_sql_trace_statement(const char* label, const char* sql);

// Per-thread stack of caller labels (at most 8) naming who sent a statement.
void zv_trace_label_push(const char* label);
void zv_trace_label_pop();
// Top of the calling thread's stack, or "unknown" when it is empty.
const char* zv_trace_label_top();

// Pushes a trace label for the lifetime of a scope.
class ScopedTraceLabel {
 public:
  explicit ScopedTraceLabel(const char* label) { zv_trace_label_push(label); }
  ~ScopedTraceLabel() { zv_trace_label_pop(); }
  ScopedTraceLabel(const ScopedTraceLabel&) = delete;
  ScopedTraceLabel& operator=(const ScopedTraceLabel&) = delete;
};

}  // namespace zv
