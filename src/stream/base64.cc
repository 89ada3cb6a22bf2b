#include "stream/base64.h"

#include <array>

namespace zv {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotAlphabet = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  table.fill(kNotAlphabet);
  for (uint8_t value = 0; value < 64; ++value) {
    table[static_cast<uint8_t>(kAlphabet[value])] = value;
  }
  return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

uint8_t SextetOf(char c) { return kDecodeTable[static_cast<uint8_t>(c)]; }

}  // namespace

std::optional<std::vector<uint8_t>> zv_base64_decode(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  const size_t last_group = text.size() - 4;
  for (size_t at = 0; at < text.size(); at += 4) {
    const uint8_t a = SextetOf(text[at]);
    const uint8_t b = SextetOf(text[at + 1]);
    const bool pad3 = text[at + 2] == '=';
    const bool pad4 = text[at + 3] == '=';
    const uint8_t c = pad3 ? 0 : SextetOf(text[at + 2]);
    const uint8_t d = pad4 ? 0 : SextetOf(text[at + 3]);
    if ((a | b | c | d) == kNotAlphabet) return std::nullopt;  // any one invalid sets all bits
    // "xx=y" would emit the low byte without the middle one, and padding before
    // the last group would splice two short pieces together: both corrupt the
    // bytes silently, so both are refused.
    if (pad3 && !pad4) return std::nullopt;
    if ((pad3 || pad4) && at != last_group) return std::nullopt;
    const uint32_t bits = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    out.push_back(static_cast<uint8_t>(bits >> 16));
    if (!pad3) out.push_back(static_cast<uint8_t>(bits >> 8));
    if (!pad4) out.push_back(static_cast<uint8_t>(bits));
  }
  return out;
}

std::string zv_base64_encode(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve((count + 2) / 3 * 4);
  size_t at = 0;
  for (; at + 3 <= count; at += 3) {
    const uint32_t bits =
        (uint32_t{bytes[at]} << 16) | (uint32_t{bytes[at + 1]} << 8) | bytes[at + 2];
    out += kAlphabet[bits >> 18];
    out += kAlphabet[(bits >> 12) & 63];
    out += kAlphabet[(bits >> 6) & 63];
    out += kAlphabet[bits & 63];
  }
  if (const size_t tail = count - at; tail > 0) {
    uint32_t bits = uint32_t{bytes[at]} << 16;
    if (tail == 2) bits |= uint32_t{bytes[at + 1]} << 8;
    out += kAlphabet[bits >> 18];
    out += kAlphabet[(bits >> 12) & 63];
    out += tail == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace zv
