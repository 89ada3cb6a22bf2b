#include "util/format.h"

#include <gtest/gtest.h>

namespace {

TEST(Bounded, NeverSplitsAUtf8Character) {
  struct Case {
    std::string text;
    size_t buffer;
    std::string expected;
  } cases[] = {
      {"abcdef", 4, "abc"},
      {"abc", 4, "abc"},
      {"ab\xC3\xA9", 4, "ab"},         // é would straddle the cut
      {"a\xC3\xA9z", 4, "a\xC3\xA9"},  // é fits exactly
      {"ab\xE2\x82\xAC", 5, "ab"},     // € (three bytes) cut after two
      {"a\xF0\x9F\x98\x80", 4, "a"},   // four-byte emoji
      {"a\xF0\x9F\x98\x80z", 6, "a\xF0\x9F\x98\x80"},
      {"\x80\x80\x80\x80\x80\x80", 4, "\x80\x80\x80"},  // not UTF-8: cut as bytes
      {"abc", 0, "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::Bounded(c.text, c.buffer), c.expected) << c.text << " / " << c.buffer;
  }
  const std::string long_text = std::string(510, 'x') + "\xC3\xA9\xC3\xA9";
  EXPECT_EQ(zv::Bounded(long_text, 512), std::string(510, 'x'));
}

}  // namespace
