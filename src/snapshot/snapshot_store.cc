#include "snapshot/snapshot_store.h"

#include <algorithm>
#include <mutex>

#include "util/clock.h"

namespace zv {

void ZVSnapshotStore::Install(const SnapshotSlots& slots, uint64_t epoch, int64_t current_at_ns) {
  const int64_t now = MonotonicNanos();
  std::unique_lock<std::shared_mutex> lock(lock_);
  contents_.slots = slots;
  contents_.epoch = epoch;
  contents_.installed_at_ns = now;
  contents_.current_at_ns = current_at_ns != 0 ? current_at_ns : now;
}

bool ZVSnapshotStore::MarkCurrent(uint64_t epoch, int64_t at_ns) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  if (contents_.epoch != epoch) return false;
  contents_.current_at_ns = std::max(contents_.current_at_ns, at_ns);
  return true;
}

std::shared_ptr<arrow::RecordBatch> ZVSnapshotStore::slot(int index) const {
  if (index < 0 || index >= kSnapshotSlotCount) return nullptr;
  std::shared_lock<std::shared_mutex> lock(lock_);
  return contents_.slots[index];
}

ZVSnapshotStore::Stamp ZVSnapshotStore::stamp() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return {contents_.epoch, contents_.current_at_ns};
}

ZVSnapshotStore::Contents ZVSnapshotStore::Read() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return contents_;
}

}  // namespace zv
