// A FIFO between a producing and a consuming thread, bounded by a count of
// items and a byte budget, with the lock that guards it. Owners keep the rest
// of their hand-over state (done, cancelled, the first error) beside it under
// the same lock, so each wait checks the queue and that state at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace zv {

template <typename T>
class BoundedQueue {
 public:
  using Lock = std::unique_lock<std::mutex>;

  // 0: no bound. Set before the threads start.
  BoundedQueue(uint64_t max_items = 0, uint64_t max_bytes = 0)
      : max_items_(max_items), max_bytes_(max_bytes) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  void SetBounds(uint64_t max_items, uint64_t max_bytes) {
    max_items_ = max_items;
    max_bytes_ = max_bytes;
  }
  uint64_t max_items() const { return max_items_; }
  uint64_t max_bytes() const { return max_bytes_; }
  bool bounded() const { return max_items_ != 0 || max_bytes_ != 0; }

  // Guards the queue and the owner's state beside it.
  std::mutex& mutex() const { return mutex_; }
  Lock Acquire() const { return Lock(mutex_); }

  // The members below want the lock held.
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  // Calls `visit` with each item, oldest first.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (const Entry& entry : entries_) visit(entry.item);
  }

  // Both bounds admit one more item of `bytes`. An empty queue admits any
  // item, so one larger than the byte budget still passes.
  bool Admits(uint64_t bytes) const {
    const bool items_ok = max_items_ == 0 || entries_.size() < max_items_;
    const bool bytes_ok =
        max_bytes_ == 0 || entries_.empty() || queued_bytes_ + bytes <= max_bytes_;
    return items_ok && bytes_ok;
  }

  // Blocks until the queue admits an item of `bytes` or `stop()` (evaluated
  // under the lock) holds; true when the item may be pushed.
  template <typename Stop>
  bool WaitForSpace(Lock& lock, uint64_t bytes, Stop stop) {
    if (bounded()) space_.wait(lock, [&] { return Admits(bytes) || stop(); });
    return !stop();
  }
  // Blocks until `ready()` (evaluated under the lock) holds.
  template <typename Ready>
  void WaitForItems(Lock& lock, Ready ready) {
    items_.wait(lock, ready);
  }

  void Push(T item, uint64_t bytes = 0) {
    entries_.push_back(Entry{std::move(item), bytes});
    queued_bytes_ += bytes;
  }
  // The oldest item; the queue must not be empty.
  T Pop() {
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    queued_bytes_ = queued_bytes_ > entry.bytes ? queued_bytes_ - entry.bytes : 0;
    return std::move(entry.item);
  }
  void Clear() {
    entries_.clear();
    queued_bytes_ = 0;
  }

  // Without the lock held, after the change they announce.
  void NotifyConsumer() { items_.notify_all(); }
  void NotifyProducer() { space_.notify_all(); }
  void NotifyAll() {
    items_.notify_all();
    space_.notify_all();
  }

 private:
  struct Entry {
    T item;
    uint64_t bytes;
  };

  mutable std::mutex mutex_;
  std::condition_variable items_;
  std::condition_variable space_;
  std::deque<Entry> entries_;
  uint64_t queued_bytes_ = 0;
  uint64_t max_items_;
  uint64_t max_bytes_;
};

}  // namespace zv
