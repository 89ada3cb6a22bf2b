// Read options for Arrow IPC that came from the network, and a bound on what
// reading it may allocate.
#pragma once

#include <cstdint>

#include <arrow/ipc/options.h>

namespace zv {

// While one is alive, IPC reads on this thread made with NetworkIpcReadOptions
// allocate at most `bytes` in all, and a read that would take more fails. A
// compressed buffer states its own decompressed size, so without this a small
// frame could claim any amount of memory. Uncompressed buffers are slices of
// the received bytes and take nothing from it.
class IpcReadBudget {
 public:
  explicit IpcReadBudget(int64_t bytes);
  ~IpcReadBudget();
  IpcReadBudget(const IpcReadBudget&) = delete;
  IpcReadBudget& operator=(const IpcReadBudget&) = delete;

 private:
  int64_t outer_;  // the budget this one hides, restored when it ends
};

// Default options, but allocating from the budgeted pool and decompressing on
// the calling thread, where the budget is.
arrow::ipc::IpcReadOptions NetworkIpcReadOptions();

}  // namespace zv
