// The queries a host can cancel with one call: those of one statement, or
// every query of a connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

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

 private:
  std::mutex mu_;
  std::vector<ZVQuery*> queries_;
  std::atomic<uint64_t> generation_{0};
};

}  // namespace zv
