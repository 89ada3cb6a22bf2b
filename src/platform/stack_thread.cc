#include "platform/stack_thread.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace zv {

namespace {

#ifdef _WIN32
DWORD WINAPI Trampoline(LPVOID arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return 0;
}
#else
void* Trampoline(void* arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return nullptr;
}
#endif

}  // namespace

bool RunOnThreadWithStack(size_t stack_bytes, const std::function<void()>& body) {
  void* arg = const_cast<std::function<void()>*>(&body);
#ifdef _WIN32
  HANDLE thread = CreateThread(nullptr, stack_bytes, Trampoline, arg,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return true;
#else
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  const bool started = pthread_attr_setstacksize(&attr, stack_bytes) == 0 &&
                       pthread_create(&thread, &attr, Trampoline, arg) == 0;
  pthread_attr_destroy(&attr);
  if (!started) return false;
  pthread_join(thread, nullptr);
  return true;
#endif
}

}  // namespace zv
