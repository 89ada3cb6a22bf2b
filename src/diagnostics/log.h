#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string_view>

#include "util/printf_format.h"

namespace zv {

enum LogLevel : int {
  kLogOff = 0,
  kLogError = 1,
  kLogWarn = 2,
  kLogInfo = 3,
  kLogDebug = 4,
  kLogTrace = 5,
};

// The process-wide level. Read without the log mutex so that a disabled level
// costs one relaxed load and one comparison.
extern std::atomic<int> g_log_level;

inline bool LogEnabled(int level) { return level <= g_log_level.load(std::memory_order_relaxed); }

// The five-character name printed in log lines ("?????" for unknown levels).
const char* LogLevelName(int level);

// Parses off, error, warn, warning, info, debug or trace, ASCII
// case-insensitively over the whole text.
std::optional<int> ParseLogLevel(std::string_view text);

// Log line timestamp "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC) and this thread's log id,
// shared by the engine log and the SQL trace.
int FormatUtcTimestamp(char* out, size_t size);
unsigned long CurrentThreadLogId();

// Writes one engine log line when `level` is enabled. Never fails visibly.
void zv_log_write(int level, const char* category, const char* format, ...) ZV_PRINTF_FORMAT(3, 4);
void zv_log_vwrite(int level, const char* category, const char* format, va_list args);

// Switches the engine log to `path` (stderr when null or empty) and sets the
// level. A file that cannot be opened leaves the log on stderr.
void zv_log_configure(const char* path, int level);

// Preferred form inside the library: the arguments are not even evaluated when
// the level is disabled.
#define ZV_LOG(level, category, ...)                        \
  do {                                                      \
    if (::zv::LogEnabled(level)) {                          \
      ::zv::zv_log_write((level), (category), __VA_ARGS__); \
    }                                                       \
  } while (0)

}  // namespace zv
