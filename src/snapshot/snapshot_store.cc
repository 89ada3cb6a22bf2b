#include "snapshot/snapshot_store.h"

#include <chrono>
#include <mutex>

namespace zv {

int64_t SnapshotClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ZVSnapshotStore::Install(const SnapshotSlots& slots, uint64_t epoch) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  contents_.slots = slots;
  contents_.epoch = epoch;
  contents_.installed_at_ns = SnapshotClockNs();
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
