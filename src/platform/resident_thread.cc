#include "platform/resident_thread.h"

#include <cstdint>
#include <utility>

#include "platform/process_internal.h"

namespace zv {

void ResidentThread::Start(const char* name, std::function<void()> body,
                           std::function<void()> request_stop) {
  *thread_ = std::thread([name, body = std::move(body)] {
    NameCurrentThread(name);
    body();
  });
  request_stop_ = std::move(request_stop);
  owner_pid_ = CurrentProcessId();
  if (!CanJoinThreadsAtUnload()) PinThisModule();
}

ResidentThread::~ResidentThread() {
  if (!CanJoinThreadsAtUnload() || CurrentProcessId() != owner_pid_) return;
  if (request_stop_) request_stop_();
  if (thread_->joinable() && thread_->get_id() != std::this_thread::get_id()) thread_->join();
}

}  // namespace zv
