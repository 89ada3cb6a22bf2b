// A loadable module that starts a ResidentThread the way the driver's poller
// does (a function-local static), so a test can unload it while the thread
// runs the module's code.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/resident_thread.h"

#ifdef _WIN32
#define ZV_TEST_EXPORT extern "C" __declspec(dllexport)
#else
#define ZV_TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

ZV_TEST_EXPORT void zv_test_start_resident(std::atomic<int>* beats, std::atomic<bool>* stop,
                                           std::atomic<bool>* finished) {
  static zv::ResidentThread thread;
  thread.Start(
      "zv-module",
      [=] {
        while (!*stop) {
          ++*beats;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        *finished = true;
      },
      [=] { *stop = true; });
}
