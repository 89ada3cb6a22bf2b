#include "driver/option_access.h"

#include <gtest/gtest.h>

namespace {

TEST(CopyOptionText, ReportsTheSizeAndCopiesOnlyWhatFits) {
  struct Case {
    size_t buffer;
    bool copied;
  } cases[] = {{0, false}, {3, false}, {4, true}, {10, true}};
  for (const auto& c : cases) {
    char buffer[16] = "XXXXXXXXXXXXXXX";
    size_t length = c.buffer;
    zv::CopyOptionText("abc", buffer, &length);
    EXPECT_EQ(length, 4u) << c.buffer;
    EXPECT_EQ(std::string(buffer) == "abc", c.copied) << c.buffer;
  }
  size_t length = 0;
  zv::CopyOptionText("abc", nullptr, &length);
  EXPECT_EQ(length, 4u);
}

TEST(CopyOptionBytes, HasNoTerminator) {
  uint8_t buffer[4] = {9, 9, 9, 9};
  size_t length = sizeof(buffer);
  zv::CopyOptionBytes(std::string("a\0b", 3), buffer, &length);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(buffer[3], 9);
}

TEST(TypedOptionText, ParsesWholeNumbersOnly) {
  EXPECT_EQ(*zv::OptionAsInt("k", "42"), 42);
  EXPECT_EQ(*zv::OptionAsInt("k", "true"), 1);
  EXPECT_FALSE(zv::OptionAsInt("k", "42x").ok());
  EXPECT_FALSE(zv::OptionAsInt("k", "").ok());
  EXPECT_EQ(*zv::OptionAsDouble("k", "1.5"), 1.5);
  EXPECT_FALSE(zv::OptionAsDouble("k", "append").ok());
  EXPECT_EQ(zv::DoubleOptionText(2.0), "2");
  EXPECT_FALSE(zv::BytesOptionText("k", reinterpret_cast<const uint8_t*>("a\0b"), 3).ok());
  EXPECT_EQ(*zv::BytesOptionText("k", reinterpret_cast<const uint8_t*>("ab"), 2), "ab");
}

}  // namespace
