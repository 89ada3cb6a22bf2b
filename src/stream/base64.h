// Base64 with the standard alphabet ("+", "/") and "=" padding, no line breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Strict decoding: the text must be whole four-character groups of alphabet
// characters, with "=" only as padding at the end of the last group ("xx==" or
// "xxx="). White space, line breaks, missing padding or padding anywhere else
// fail. Empty text also fails: every caller treats an empty result as absent.
std::optional<std::vector<uint8_t>> zv_base64_decode(std::string_view text);

// Padded encoding of `count` bytes (4 characters per started group of 3).
std::string zv_base64_encode(const uint8_t* bytes, size_t count);

}  // namespace zv
