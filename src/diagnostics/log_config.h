#pragma once

namespace zv {

// Diagnostics settings a database carries; null or empty means unset.
struct DiagnosticsOptions {
  const char* log_path = nullptr;        // SQL trace file
  const char* api_trace_path = nullptr;  // engine log file
  const char* log_level = nullptr;
};

// Configures the process-wide engine log and SQL trace when a database is
// initialised. Options win over the environment: ZV_LOG_PATH (SQL trace),
// ZV_SQL_TRACE_PATH or ZV_API_TRACE_PATH (engine log), ZV_LOG_LEVEL.
void ConfigureDiagnostics(const DiagnosticsOptions& options);

}  // namespace zv
