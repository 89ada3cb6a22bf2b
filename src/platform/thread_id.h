#pragma once

#include <cstdint>

namespace zv::platform {

// The operating system's numeric identifier of the calling thread.
uint64_t CurrentThreadId();

}  // namespace zv::platform
