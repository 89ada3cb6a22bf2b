// The queries a host can cancel with one call: those of one statement, or
// every query of a connection. A statement's scope also keeps the progress
// of its latest work, which the host may read at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "stream/exec_progress.h"

namespace zv {

class ZVQuery;

class CancelScope {
 public:
  // Called by the query's owner; a query leaves every scope it joined when it
  // is closed (zv_query_close), so the scope never holds a closed query.
  void Add(ZVQuery* query);
  void Remove(ZVQuery* query);

  // Cancels every live query of the scope (none: nothing happens) and marks
  // the scope, so that work between queries (a run of parameter rows) stops.
  void CancelAll();
  uint64_t generation() const { return generation_.load(); }

  // The latest work started in the scope (a query joining it, or a load)
  // is the one whose progress the scope reports; it stays readable after
  // the work has ended. Nothing started yet: zero.
  void Track(std::shared_ptr<ExecProgress> progress);
  ExecProgressReading LatestProgress();

  // Work other than queries that a Cancel must reach (a load waiting on its
  // upload): CancelAll calls `stop` too, under the scope's lock, until it is
  // cleared; `stop` only signals. One at a time: a statement runs one load.
  void SetStop(std::function<void()> stop);
  void ClearStop();

 private:
  std::mutex mu_;
  std::vector<ZVQuery*> queries_;
  std::function<void()> stop_;
  std::shared_ptr<ExecProgress> latest_;
  std::atomic<uint64_t> generation_{0};
};

// Sets a scope's stop for as long as it lives (no scope: nothing happens).
class ScopedStop {
 public:
  ScopedStop(std::shared_ptr<CancelScope> scope, std::function<void()> stop);
  ~ScopedStop();
  ScopedStop(const ScopedStop&) = delete;
  ScopedStop& operator=(const ScopedStop&) = delete;

 private:
  std::shared_ptr<CancelScope> scope_;
};

}  // namespace zv
