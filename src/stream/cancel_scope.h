// The queries a host can cancel with one call: those of one statement, or
// every query of a connection. A statement's scope also keeps the progress
// of its latest work, which the host may read at any time.
#pragma once

#include <atomic>
#include <cstdint>
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

 private:
  std::mutex mu_;
  std::vector<ZVQuery*> queries_;
  std::shared_ptr<ExecProgress> latest_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace zv
