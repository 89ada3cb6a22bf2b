#include "diagnostics/log_config.h"

#include <cstdlib>

#include "diagnostics/log.h"
#include "diagnostics/sql_trace.h"

namespace zv {

namespace {

enum class Source { kNone, kOption, kEnv };

struct Setting {
  const char* value = nullptr;
  Source source = Source::kNone;
};

bool NonEmpty(const char* s) { return s != nullptr && s[0] != '\0'; }

// The option when set, else the first environment variable that is set.
Setting Resolve(const char* option, std::initializer_list<const char*> env_names) {
  if (NonEmpty(option)) return {option, Source::kOption};
  for (const char* name : env_names) {
    const char* value = std::getenv(name);
    if (NonEmpty(value)) return {value, Source::kEnv};
  }
  return {};
}

const char* SourceMarker(Source source) {
  switch (source) {
    case Source::kEnv: return " [from env]";
    case Source::kOption: return " [from option]";
    default: return "";
  }
}

}  // namespace

void ConfigureDiagnostics(const DiagnosticsOptions& options) {
  // The option named log_path selects the SQL trace and api_trace_path the
  // engine log; the names are historical and users already depend on them.
  const Setting trace = Resolve(options.log_path, {"ZV_LOG_PATH"});
  if (trace.value != nullptr) zv_sql_trace_open(trace.value);

  const Setting log_path =
      Resolve(options.api_trace_path, {"ZV_SQL_TRACE_PATH", "ZV_API_TRACE_PATH"});
  const Setting level_text = Resolve(options.log_level, {"ZV_LOG_LEVEL"});

  if (log_path.value != nullptr || level_text.value != nullptr) {
    int level = kLogInfo;
    if (level_text.value != nullptr) {
      if (auto parsed = ParseLogLevel(level_text.value)) level = *parsed;
    }
    zv_log_configure(log_path.value, level);
    zv_log_write(kLogInfo, "adbc", "Engine log -> %s (level=%d%s); SQL trace -> %s%s",
                 log_path.value ? log_path.value : "(stderr)", level,
                 SourceMarker(level_text.source), trace.value ? trace.value : "(off)",
                 SourceMarker(trace.source));
  } else if (trace.value != nullptr) {
    zv_log_write(kLogInfo, "adbc", "SQL trace -> %s%s (engine log: stderr)", trace.value,
                 SourceMarker(trace.source));
  }
}

}  // namespace zv
