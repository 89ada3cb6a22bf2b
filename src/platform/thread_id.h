#pragma once

#include <cstdint>

namespace zv {

// The operating system's numeric identifier of the calling thread.
uint64_t CurrentThreadId();

}  // namespace zv
