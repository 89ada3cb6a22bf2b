// How far a running statement has come: rows a query has received, or rows
// a load has sent. The running work counts; the statement reads the count
// from any thread, also after the work (and its result stream) is gone.
#pragma once

#include <atomic>
#include <cstdint>

namespace zv {

struct ExecProgressReading {
  int64_t rows = 0;
  int64_t expected_rows = 0;  // 0: not known (yet)
};

class ExecProgress {
 public:
  void AddRows(int64_t rows) { rows_.fetch_add(rows, std::memory_order_relaxed); }
  // The work finished: everything there is has been counted, so the rows
  // expected are the rows done.
  void Complete() {
    expected_rows_.store(rows_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }

  ExecProgressReading Read() const {
    return {rows_.load(std::memory_order_relaxed), expected_rows_.load(std::memory_order_relaxed)};
  }

 private:
  std::atomic<int64_t> rows_{0};
  std::atomic<int64_t> expected_rows_{0};
};

}  // namespace zv
