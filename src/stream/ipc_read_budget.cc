#include "stream/ipc_read_budget.h"

#include <memory>
#include <string>

#include <arrow/memory_pool.h>
#include <arrow/status.h>

namespace zv {

namespace {

constexpr int64_t kUnbounded = -1;

// What the innermost open budget of this thread still allows.
thread_local int64_t t_budget_left = kUnbounded;

// The default pool, charging each allocation against this thread's budget.
// One instance serves every read: a buffer frees itself through the pool it
// came from whenever its last user lets go, long after the read.
class BudgetedPool final : public arrow::MemoryPool {
 public:
  arrow::Status Allocate(int64_t size, int64_t alignment, uint8_t** out) override {
    ARROW_RETURN_NOT_OK(Charge(size));
    return base()->Allocate(size, alignment, out);
  }
  arrow::Status Reallocate(int64_t old_size, int64_t new_size, int64_t alignment,
                           uint8_t** ptr) override {
    if (new_size > old_size) ARROW_RETURN_NOT_OK(Charge(new_size - old_size));
    return base()->Reallocate(old_size, new_size, alignment, ptr);
  }
  void Free(uint8_t* buffer, int64_t size, int64_t alignment) override {
    base()->Free(buffer, size, alignment);
  }
  int64_t bytes_allocated() const override { return base()->bytes_allocated(); }
  int64_t max_memory() const override { return base()->max_memory(); }
  int64_t total_bytes_allocated() const override { return base()->total_bytes_allocated(); }
  int64_t num_allocations() const override { return base()->num_allocations(); }
  std::string backend_name() const override { return base()->backend_name(); }

 private:
  static arrow::MemoryPool* base() { return arrow::default_memory_pool(); }

  static arrow::Status Charge(int64_t size) {
    if (t_budget_left == kUnbounded) return arrow::Status::OK();
    if (size > t_budget_left) {
      return arrow::Status::CapacityError(
          "the batch's decompressed buffers exceed what one frame may hold");
    }
    t_budget_left -= size;
    return arrow::Status::OK();
  }
};

BudgetedPool* Pool() {
  // Never destroyed: a batch the host still holds at exit frees its buffers
  // through it.
  static BudgetedPool* const pool = std::make_unique<BudgetedPool>().release();
  return pool;
}

}  // namespace

IpcReadBudget::IpcReadBudget(int64_t bytes) : outer_(t_budget_left) { t_budget_left = bytes; }

IpcReadBudget::~IpcReadBudget() { t_budget_left = outer_; }

arrow::ipc::IpcReadOptions NetworkIpcReadOptions() {
  arrow::ipc::IpcReadOptions options = arrow::ipc::IpcReadOptions::Defaults();
  options.memory_pool = Pool();
  options.use_threads = false;
  return options;
}

}  // namespace zv
