#include "diagnostics/log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/redact.h"
#include "platform/append_file.h"
#include "util/ascii.h"
#include "platform/thread_id.h"
#include "util/no_destructor.h"

namespace zv {

std::atomic<int> g_log_level{kLogOff};

namespace {

constexpr uint64_t kRotateBytes = 10ull * 1024 * 1024;
constexpr int kRotatedBackups = 5;
constexpr size_t kMessageStackBytes = 1024;
constexpr size_t kLineBytes = 5120;

struct LogState {
  std::mutex mu;
  AppendFile file;  // not open: the sink is stderr
  std::string path;
  uint64_t bytes_written = 0;
};

LogState& State() {
  static NoDestructor<LogState> state;
  return *state;
}

// Shifts name.4 -> name.5 ... name -> name.1. Failures are ignored: a missing
// backup is normal and a locked one only costs history.
void RotateLocked(LogState& st) {
  st.file.Close();
  const std::string& base = st.path;
  RemoveFile(base + "." + std::to_string(kRotatedBackups));
  for (int i = kRotatedBackups - 1; i >= 1; --i) {
    RenameFile(base + "." + std::to_string(i), base + "." + std::to_string(i + 1));
  }
  RenameFile(base, base + ".1");
  unsigned long err = 0;
  st.file = AppendFile::Open(base, &err);
  if (st.file.is_open()) {
    st.bytes_written = 0;
  } else {
    st.path.clear();
  }
}

}  // namespace

const char* LogLevelName(int level) {
  switch (level) {
    case kLogOff: return "OFF  ";
    case kLogError: return "ERROR";
    case kLogWarn: return "WARN ";
    case kLogInfo: return "INFO ";
    case kLogDebug: return "DEBUG";
    case kLogTrace: return "TRACE";
    default: return "?????";
  }
}

std::optional<int> ParseLogLevel(std::string_view text) {
  static constexpr struct {
    const char* name;
    int level;
  } kNames[] = {{"off", kLogOff},      {"error", kLogError}, {"warn", kLogWarn},
                {"warning", kLogWarn}, {"info", kLogInfo},   {"debug", kLogDebug},
                {"trace", kLogTrace}};
  for (const auto& entry : kNames) {
    if (ascii_iequals(text, entry.name)) return entry.level;
  }
  return std::nullopt;
}

int FormatUtcTimestamp(char* out, size_t size) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day ymd{day};
  const hh_mm_ss<nanoseconds> tod{duration_cast<nanoseconds>(now - day)};
  int year = static_cast<int>(ymd.year());
  if (year < 0) year = 0;
  if (year > 9999) year = 9999;
  const long long millis = (tod.subseconds().count() / 1000000) % 1000;
  return std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year,
                       static_cast<int>(static_cast<unsigned>(ymd.month())),
                       static_cast<int>(static_cast<unsigned>(ymd.day())),
                       static_cast<int>(tod.hours().count()),
                       static_cast<int>(tod.minutes().count()),
                       static_cast<int>(tod.seconds().count()), static_cast<int>(millis));
}

unsigned long CurrentThreadLogId() {
  // FNV-1a over the low four bytes of the OS thread id: short, stable for the
  // thread's life, and the same in the engine log and the SQL trace.
  thread_local const unsigned long id = [] {
    const uint32_t tid = static_cast<uint32_t>(CurrentThreadId());
    uint64_t hash = 0xcbf29ce484222325ull;
    for (int i = 0; i < 4; ++i) {
      hash ^= (tid >> (8 * i)) & 0xffu;
      hash *= 0x100000001b3ull;
    }
    return static_cast<unsigned long>(hash & 0xffffffffu);
  }();
  return id;
}

namespace {

// A formatted message: on the stack when it fits, else on the heap up to the
// longest line written. Out of memory keeps the cut stack copy.
class FormattedMessage {
 public:
  FormattedMessage(const char* format, va_list args) {
    if (format == nullptr) return;
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(stack_, sizeof(stack_), format, copy);
    va_end(copy);
    text_ = stack_;
    if (needed < 0) {
      stack_[0] = '\0';
    } else if (static_cast<size_t>(needed) >= sizeof(stack_)) {
      try {
        // The line is cut at kLineBytes anyway: never format more than that.
        heap_.resize(std::min(static_cast<size_t>(needed) + 1, kLineBytes));
        std::vsnprintf(heap_.data(), heap_.size(), format, args);
        text_ = heap_.data();
      } catch (const std::bad_alloc&) {
      }
      // Cut short: a URL whose credentials straddle the cut would keep them,
      // with no '@' left for the scrub to find.
      char* cut = text_ == stack_ ? stack_ : heap_.data();
      const size_t room = text_ == stack_ ? sizeof(stack_) : heap_.size();
      if (static_cast<size_t>(needed) >= room) cut[zv_url_safe_prefix(cut)] = '\0';
    }
  }
  FormattedMessage(const FormattedMessage&) = delete;
  FormattedMessage& operator=(const FormattedMessage&) = delete;

  const char* text() const { return text_; }

 private:
  char stack_[kMessageStackBytes];
  std::vector<char> heap_;
  const char* text_ = "";
};

// Writes one finished line to the sink and rotates the file when it is full.
void WriteLineLocked(LogState& st, const char* line, size_t size) {
  if (!st.file.is_open()) {
    std::fwrite(line, 1, size, stderr);
    std::fflush(stderr);
    return;
  }
  const int64_t written = st.file.Write(line, size);
  if (written <= 0) return;
  st.bytes_written += static_cast<uint64_t>(written);
  if (st.bytes_written >= kRotateBytes && !st.path.empty()) {
    try {
      RotateLocked(st);
    } catch (...) {
      // Out of memory building the backup names: keep writing to this file.
    }
  }
}

}  // namespace

void zv_log_vwrite(int level, const char* category, const char* format, va_list args) {
  if (!LogEnabled(level)) return;
  FormattedMessage formatted(format, args);
  const char* message = formatted.text();
  std::string scrubbed;
  if (zv_may_hold_url_password(message)) {
    try {
      scrubbed = zv_redact_url_passwords(message);
      message = scrubbed.c_str();
    } catch (const std::bad_alloc&) {
      return;  // a line that could carry a password is dropped rather than written as is
    }
  }

  char timestamp[40];
  FormatUtcTimestamp(timestamp, sizeof(timestamp));
  auto& st = State();
  std::lock_guard<std::mutex> lock(st.mu);
  char line[kLineBytes];
  const int len =
      std::snprintf(line, sizeof(line), "%s [tid=%lu] [%s] [%s] %s\n", timestamp,
                    CurrentThreadLogId(), LogLevelName(level), category ? category : "zv", message);
  if (len < 0) return;
  size_t size = static_cast<size_t>(len);
  if (size >= sizeof(line)) {
    size = sizeof(line) - 1;
    line[size - 1] = '\n';
  }
  WriteLineLocked(st, line, size);
}

void zv_log_write(int level, const char* category, const char* format, ...) {
  if (!zv::LogEnabled(level)) return;
  va_list args;
  va_start(args, format);
  zv_log_vwrite(level, category, format, args);
  va_end(args);
}

void zv_log_configure(const char* path, int level) {
  auto& st = zv::State();
  std::lock_guard<std::mutex> lock(st.mu);
  st.file.Close();
  st.path.clear();
  if (path != nullptr && path[0] != '\0') {
    unsigned long err = 0;
    st.file = zv::AppendFile::Open(path, &err);
    if (st.file.is_open()) {
      st.path = path;
      st.bytes_written = st.file.Size();
    } else {
      std::fprintf(stderr, "zv_log: failed to open '%s' for append (%s); falling back to stderr\n",
                   path, zv::AppendFile::OpenErrorText(err).c_str());
      std::fflush(stderr);
    }
  }
  zv::g_log_level.store(level, std::memory_order_relaxed);
}

}  // namespace zv
