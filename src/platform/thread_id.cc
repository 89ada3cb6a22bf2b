#include "platform/thread_id.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zv {

uint64_t CurrentThreadId() {
#ifdef _WIN32
  return static_cast<uint64_t>(GetCurrentThreadId());
#else
  return static_cast<uint64_t>(::syscall(SYS_gettid));
#endif
}

}  // namespace zv
