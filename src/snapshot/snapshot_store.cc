#include "snapshot/snapshot_store.h"

#include <mutex>

#include "util/clock.h"

namespace zv {

void ZVSnapshotStore::Install(const SnapshotSlots& slots, uint64_t epoch) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  contents_.slots = slots;
  contents_.epoch = epoch;
  contents_.installed_at_ns = MonotonicNanos();
}

std::shared_ptr<arrow::RecordBatch> ZVSnapshotStore::slot(int index) const {
  if (index < 0 || index >= kSnapshotSlotCount) return nullptr;
  std::shared_lock<std::shared_mutex> lock(lock_);
  return contents_.slots[index];
}

ZVSnapshotStore::Contents ZVSnapshotStore::Read() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return contents_;
}

}  // namespace zv
