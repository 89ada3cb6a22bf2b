#pragma once

#include <cstdarg>
#include <string>

#include "util/printf_format.h"

namespace zv {

// printf-style formatting into a std::string (messages carry fixed English
// texts with placeholders).
std::string Format(const char* format, ...) ZV_PRINTF_FORMAT(1, 2);

// Cuts a message to what a caller's buffer of `buffer_size` bytes holds (at
// most buffer_size - 1 bytes), as the transport's fixed-size message buffers
// promise their callers. A UTF-8 character that would straddle the cut is
// dropped whole: hosts decode these texts as UTF-8 and a split character
// makes the whole message undecodable.
inline std::string Bounded(std::string message, size_t buffer_size) {
  if (buffer_size == 0 || message.size() <= buffer_size - 1) return message;
  size_t cut = buffer_size - 1;
  auto continuation = [&](size_t at) {
    return (static_cast<unsigned char>(message[at]) & 0xC0) == 0x80;
  };
  // A character is at most four bytes: back up at most three continuations.
  for (int step = 0; step < 3 && cut > 0 && continuation(cut); ++step) --cut;
  if (continuation(cut)) cut = buffer_size - 1;  // not UTF-8 here: cut as bytes
  message.resize(cut);
  return message;
}

}  // namespace zv
