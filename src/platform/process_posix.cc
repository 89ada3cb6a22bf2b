#include "platform/process_internal.h"

#include <unistd.h>
#if defined(__linux__)
#include <pthread.h>
#endif

namespace zv {

uint64_t CurrentProcessId() { return static_cast<uint64_t>(getpid()); }

void NameCurrentThread(const char* name) {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), name);
#else
  (void)name;
#endif
}

bool CanJoinThreadsAtUnload() { return true; }

void PinThisModule() {}

}  // namespace zv
