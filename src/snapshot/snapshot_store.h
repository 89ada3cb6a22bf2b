#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>

#include <arrow/record_batch.h>

#include "snapshot/snapshot_slots_internal.h"

namespace zv {

// A connection's installed catalog snapshot, and when it was last known to be
// the catalog's current state. Installed while the connection is set up and
// replaced whole when the catalog moves; readers hold the lock only while
// copying references, and the batches themselves are immutable, so a result
// already built from one snapshot keeps it.
class ZVSnapshotStore {
 public:
  struct Contents {
    SnapshotSlots slots;
    uint64_t epoch = 0;           // 0 when nothing was installed
    int64_t installed_at_ns = 0;  // monotonic clock
    int64_t current_at_ns = 0;    // monotonic: last known to be the catalog's state
  };

  // Replaces all nine slots and the epoch; `current_at_ns` (default: now) is
  // when that epoch was known to be current.
  void Install(const SnapshotSlots& slots, uint64_t epoch, int64_t current_at_ns = 0);

  // The control plane confirmed, at `at_ns`, that `epoch` is still current;
  // false (and nothing changed) when another epoch is installed.
  bool MarkCurrent(uint64_t epoch, int64_t at_ns);

  // One slot's batch (null when empty or out of range).
  std::shared_ptr<arrow::RecordBatch> slot(int index) const;

  // All slots, the epoch and the install time, taken under one lock hold.
  Contents Read() const;

  // Only the epoch and when it was known current, without the slots.
  struct Stamp {
    uint64_t epoch = 0;
    int64_t current_at_ns = 0;
  };
  Stamp stamp() const;

 private:
  mutable std::shared_mutex lock_;
  Contents contents_;
};

}  // namespace zv
