#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>

#include <arrow/record_batch.h>

#include "snapshot/snapshot_slots_internal.h"

namespace zv {

// A connection's installed catalog snapshot. Filled once while the connection
// is set up and read by the catalog calls afterwards. Readers hold the lock
// only while copying references; the batches themselves are immutable.
class ZVSnapshotStore {
 public:
  struct Contents {
    SnapshotSlots slots;
    uint64_t epoch = 0;            // 0 when nothing was installed
    int64_t installed_at_ns = 0;   // monotonic clock
  };

  // Replaces all nine slots and the epoch.
  void Install(const SnapshotSlots& slots, uint64_t epoch);

  // One slot's batch (null when empty or out of range).
  std::shared_ptr<arrow::RecordBatch> slot(int index) const;

  // All slots, the epoch and the install time, taken under one lock hold.
  Contents Read() const;

 private:
  mutable std::shared_mutex lock_;
  Contents contents_;
};

}  // namespace zv
