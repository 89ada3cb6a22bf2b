// A thread the library keeps for the rest of the process.
#pragma once

#include <functional>
#include <thread>

#include "util/no_destructor.h"

namespace zv {

// The thread runs the library's code, so it must have ended before that code
// is unmapped. Where the platform allows, destroying the ResidentThread (with
// the library's other statics: at process exit, or when the host unloads the
// library) asks the body to stop and joins it, which also keeps it from
// touching the log and the network while the rest of the process is torn
// down. Where joining then would deadlock (Windows, under the loader lock),
// the library is pinned in memory instead, and the system ends the thread at
// exit. A forked child owns none of its parent's threads and joins nothing.
//
// Declare it as a function-local static created when the thread starts, so it
// is destroyed before the statics the body relies on that were set up first.
class ResidentThread {
 public:
  ResidentThread() = default;
  ResidentThread(const ResidentThread&) = delete;
  ResidentThread& operator=(const ResidentThread&) = delete;
  ~ResidentThread();

  // Runs `body` on a new thread named `name`. `request_stop` must make the
  // body return soon; it is called at most once, from the destructor. Throws
  // std::system_error when no thread can be started.
  void Start(const char* name, std::function<void()> body, std::function<void()> request_stop);

 private:
  // Never destroyed: a joinable std::thread must not be destroyed (that ends
  // the process), and neither the pinned nor the forked case joins it.
  NoDestructor<std::thread> thread_;
  std::function<void()> request_stop_;
  uint64_t owner_pid_ = 0;
};

}  // namespace zv
