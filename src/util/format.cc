#include "util/format.h"

#include <cstdio>
#include <vector>

namespace zv {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char stack[512];
  const int needed = std::vsnprintf(stack, sizeof(stack), format, copy);
  va_end(copy);
  std::string out;
  if (needed < 0) {
    va_end(args);
    return out;
  }
  if (static_cast<size_t>(needed) < sizeof(stack)) {
    out.assign(stack, static_cast<size_t>(needed));
  } else {
    out.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(needed));
  }
  va_end(args);
  return out;
}

}  // namespace zv
