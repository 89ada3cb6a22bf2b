#pragma once

#include <cstddef>
#include <functional>

namespace zv {

// Runs `body` on a new thread whose stack reserves `stack_bytes` (committed
// only as it is used) and waits for it to finish. For third-party code whose
// recursion depth follows its input and cannot be bounded from outside.
// False when the thread could not be started; `body` has not run then.
bool RunOnThreadWithStack(size_t stack_bytes, const std::function<void()>& body);

}  // namespace zv
