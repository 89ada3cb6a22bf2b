// Connections that miss the snapshot cache together for one key share one
// fetch: the first fetches, the others wait for its outcome instead of
// downloading and decoding the same snapshot again. Each key has its own
// fetch; no lock is held while one runs.
#pragma once

#include <arrow/status.h>

#include <memory>
#include <string>

namespace zv {

class SnapshotFetchGate {
 public:
  // Joins the fetch running for `key`, or leads a new one. An empty key (a
  // snapshot that is never cached) always leads a fetch of its own.
  explicit SnapshotFetchGate(std::string key);
  // A leader that never finished tells its waiters the fetch was abandoned.
  ~SnapshotFetchGate();
  SnapshotFetchGate(const SnapshotFetchGate&) = delete;
  SnapshotFetchGate& operator=(const SnapshotFetchGate&) = delete;

  bool leads() const { return leads_; }
  // The leader's outcome, for every connection waiting on it. Does nothing
  // for a connection that did not lead.
  void Finish(const arrow::Status& outcome);
  // Waits until the leader finished and returns its outcome.
  arrow::Status Wait();

  struct Flight;

 private:
  std::string key_;
  std::shared_ptr<Flight> flight_;
  bool leads_ = true;
  bool finished_ = false;
};

}  // namespace zv
