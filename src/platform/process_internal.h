// Process and thread facts the background threads need, per platform.
#pragma once

#include <cstdint>

namespace zv {

// The calling process's identifier: a forked child differs from its parent,
// and owns none of the parent's threads.
uint64_t CurrentProcessId();

// Names the calling thread for debuggers and `top` where the platform has
// thread names (at most 15 characters on Linux).
void NameCurrentThread(const char* name);

// Whether a thread started by this library may be joined while the library's
// static objects are destroyed. On Windows that runs under the loader lock,
// where joining deadlocks.
bool CanJoinThreadsAtUnload();

// Keeps this library mapped for the rest of the process, so that a thread
// running its code can never outlive the code. Only needed where threads
// cannot be joined at unload; a no-op elsewhere.
void PinThisModule();

}  // namespace zv
