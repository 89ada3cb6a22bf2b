#include "diagnostics/sql_trace.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/redact.h"
#include "platform/append_file.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

constexpr int kMaxLabels = 8;
constexpr size_t kStackTextBytes = 4096;

struct TraceState {
  std::mutex mu;
  zv::AppendFile file;
  std::string path;
  std::atomic<bool> enabled{false};
};

TraceState& State() {
  static zv::NoDestructor<TraceState> state;
  return *state;
}

struct LabelStack {
  const char* labels[kMaxLabels];
  int count = 0;
};
thread_local LabelStack t_labels;

}  // namespace

void zv_sql_trace_open(const char* path) {
  auto& st = State();
  // Lock order: trace mutex, then the log mutex (taken by the log lines below).
  std::lock_guard<std::mutex> lock(st.mu);
  st.file.Close();
  st.path.clear();
  st.enabled.store(false);
  if (path == nullptr || path[0] == '\0') return;
  unsigned long err = 0;
  st.file = zv::AppendFile::Open(path, &err);
  if (st.file.is_open()) {
    st.path = path;
    st.enabled.store(true);
    ZV_LOG(zv::kLogInfo, "apilog", "SQL trace enabled, writing to '%s'", path);
  } else {
    ZV_LOG(zv::kLogError, "apilog", "Failed to open SQL trace file '%s' (%s)", path,
           zv::AppendFile::OpenErrorText(err).c_str());
  }
}

bool zv_sql_trace_enabled() { return State().enabled.load(std::memory_order_relaxed); }

namespace {

void WriteTraceLine(TraceState& st, const char* format, va_list args) {
  try {
    char stack_text[kStackTextBytes];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(stack_text, sizeof(stack_text), format, copy);
    va_end(copy);
    std::string line;
    char prefix[64];
    char timestamp[40];
    zv::FormatUtcTimestamp(timestamp, sizeof(timestamp));
    int plen =
        std::snprintf(prefix, sizeof(prefix), "%s [tid=%lu] ", timestamp, zv::CurrentThreadLogId());
    if (plen > 0 && static_cast<size_t>(plen) < sizeof(prefix)) line.append(prefix, plen);
    if (needed < 0) return;
    if (static_cast<size_t>(needed) < sizeof(stack_text)) {
      line.append(stack_text, static_cast<size_t>(needed));
    } else {
      std::vector<char> heap(static_cast<size_t>(needed) + 1);
      std::vsnprintf(heap.data(), heap.size(), format, args);
      line.append(heap.data(), static_cast<size_t>(needed));
    }
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(st.mu);
    if (st.file.is_open()) st.file.Write(line.data(), line.size());
  } catch (...) {
    // A trace line that cannot be allocated is dropped.
  }
}

}  // namespace

void zv_sql_trace_write(const char* format, ...) {
  auto& st = State();
  if (!st.enabled.load(std::memory_order_relaxed) || format == nullptr) return;
  va_list args;
  va_start(args, format);
  WriteTraceLine(st, format, args);
  va_end(args);
}

void zv_sql_trace_statement(const char* label, const char* sql) {
  if (!zv_sql_trace_enabled()) return;
  const char* text = sql ? sql : "";
  std::string scrubbed;
  try {
    scrubbed = zv_redact(text);
    text = scrubbed.c_str();
  } catch (const std::bad_alloc&) {
  }
  zv_sql_trace_write("%s -> %s", label ? label : "unknown", text);
}

void zv_trace_label_push(const char* label) {
  if (t_labels.count >= kMaxLabels) return;
  t_labels.labels[t_labels.count++] = label;
}

void zv_trace_label_pop() {
  if (t_labels.count > 0) --t_labels.count;
}

const char* zv_trace_label_top() {
  return t_labels.count > 0 ? t_labels.labels[t_labels.count - 1] : "unknown";
}

}  // namespace zv
