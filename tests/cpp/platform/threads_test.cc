// Thread helpers of the platform layer, the same cases on every platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/process_internal.h"
#include "platform/resident_thread.h"
#include "platform/stack_thread.h"
#include "platform/thread_id.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#endif

namespace {

// The calling thread's name as the operating system reports it.
std::string OsThreadName() {
#ifdef _WIN32
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR wide = nullptr;
  if (get == nullptr || FAILED(get(GetCurrentThread(), &wide))) return "(unavailable)";
  char utf8[256] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), nullptr, nullptr);
  LocalFree(wide);
  return utf8;
#else
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
#endif
}

// Each level keeps a 4 KiB frame alive across the call, so the depth sets the
// stack it needs; the addition after the call keeps it from being a tail call.
int Recurse(int depth) {
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  frame[sizeof(frame) - 1] = 1;
  if (depth == 0) return frame[sizeof(frame) - 1];
  return Recurse(depth - 1) + frame[sizeof(frame) - 1];
}

template <typename Predicate>
bool WaitFor(Predicate done) {
  for (int i = 0; i < 5000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST(StackThread, RunsARecursionDeeperThanAnyDefaultStack) {
  // 48 MiB of frames: beyond the 1 to 8 MiB a default thread stack has on
  // Windows and Linux, within the 64 MiB the thread reserves.
  constexpr int kDepth = 48 * 256;
  int result = 0;
  ASSERT_TRUE(zv::RunOnThreadWithStack(64u << 20, [&] { result = Recurse(kDepth); }));
  EXPECT_EQ(result, kDepth + 1);
}

TEST(ThreadIds, StablePerThreadAndDistinctAcrossThreads) {
  const uint64_t mine = zv::CurrentThreadId();
  EXPECT_EQ(zv::CurrentThreadId(), mine);
  uint64_t other = mine;
  std::thread([&] { other = zv::CurrentThreadId(); }).join();
  EXPECT_NE(other, mine);
  EXPECT_NE(mine, 0u);
}

TEST(ThreadNames, TheOperatingSystemSeesTheName) {
  std::string seen;
  std::thread([&] {
    zv::NameCurrentThread("zv-test-name");
    seen = OsThreadName();
  }).join();
  EXPECT_EQ(seen, "zv-test-name");
}

// Where threads may be joined at unload, destroying the ResidentThread stops
// and joins the body; where not (Windows, under the loader lock), the body is
// left running (the module is pinned, so its code outlives any unload).
TEST(ResidentThread, StopsAndJoinsWhereThePlatformAllowsElsePinsTheModule) {
  std::atomic<bool> stop{false}, started{false}, finished{false};
  std::atomic<int> stop_requests{0};
  {
    zv::ResidentThread thread;
    thread.Start(
        "zv-resident",
        [&] {
          started = true;
          while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          finished = true;
        },
        [&] {
          ++stop_requests;
          stop = true;
        });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
  }
  if (zv::CanJoinThreadsAtUnload()) {
    EXPECT_EQ(stop_requests, 1);
    EXPECT_TRUE(finished) << "joined before the destructor returned";
    return;
  }
  EXPECT_EQ(stop_requests, 0);
  stop = true;
  EXPECT_TRUE(WaitFor([&] { return finished.load(); }));
}

using StartResident = void (*)(std::atomic<int>*, std::atomic<bool>*, std::atomic<bool>*);

// The module of resident_thread_module.cc: loaded, started, then unloaded
// while its thread runs. Where joining at unload is allowed, the unload stops
// and joins the thread; elsewhere the module must stay mapped, or the thread
// would run into unmapped code and end the process.
TEST(ResidentThread, UnloadingItsModuleJoinsTheThreadOrKeepsTheModuleMapped) {
  std::atomic<int> beats{0};
  std::atomic<bool> stop{false}, finished{false};
#ifdef _WIN32
  HMODULE module = LoadLibraryA(ZV_RESIDENT_MODULE);
  ASSERT_NE(module, nullptr) << GetLastError();
  auto start = reinterpret_cast<StartResident>(
      reinterpret_cast<void*>(GetProcAddress(module, "zv_test_start_resident")));
#else
  void* module = dlopen(ZV_RESIDENT_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto start = reinterpret_cast<StartResident>(dlsym(module, "zv_test_start_resident"));
#endif
  ASSERT_NE(start, nullptr);
  start(&beats, &stop, &finished);
  ASSERT_TRUE(WaitFor([&] { return beats > 0; }));
#ifdef _WIN32
  ASSERT_TRUE(FreeLibrary(module));
  const bool still_mapped = GetModuleHandleA(ZV_RESIDENT_MODULE) != nullptr;
#else
  ASSERT_EQ(dlclose(module), 0);
  const bool still_mapped = dlopen(ZV_RESIDENT_MODULE, RTLD_NOW | RTLD_NOLOAD) != nullptr;
#endif
  if (zv::CanJoinThreadsAtUnload()) {
    EXPECT_TRUE(finished) << "stopped and joined by the unload";
    EXPECT_FALSE(still_mapped);
    return;
  }
  EXPECT_TRUE(still_mapped) << "pinned";
  const int before = beats;
  EXPECT_TRUE(WaitFor([&] { return beats > before; })) << "still running the module's code";
  stop = true;
  EXPECT_TRUE(WaitFor([&] { return finished.load(); }));
}

}  // namespace
