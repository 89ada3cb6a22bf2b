#pragma once

#include <cstdarg>
#include <string>

#include "diagnostics/log.h"  // ZV_PRINTF_FORMAT

namespace zv {

// printf-style formatting into a std::string (messages carry fixed English
// texts with placeholders).
std::string Format(const char* format, ...) ZV_PRINTF_FORMAT(1, 2);

// Cuts a message to what a caller's buffer of `buffer_size` bytes holds
// (buffer_size - 1 characters), as the transport's fixed-size message buffers
// promise their callers.
inline std::string Bounded(std::string message, size_t buffer_size) {
  if (buffer_size > 0 && message.size() > buffer_size - 1) message.resize(buffer_size - 1);
  return message;
}

}  // namespace zv
