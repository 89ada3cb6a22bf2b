#include "driver/option_values.h"

#include <gtest/gtest.h>

namespace {

TEST(BooleanText, AcceptsTheEightSpellingsInAnyCase) {
  struct Case {
    const char* text;
    std::optional<bool> expected;
  } cases[] = {
      {"true", true},
      {"YES", true},
      {"On", true},
      {"1", true},
      {"false", false},
      {"No", false},
      {"OFF", false},
      {"0", false},
      {"", std::nullopt},
      {nullptr, std::nullopt},
      {"maybe", std::nullopt},
      {"truee", std::nullopt},
      {" true", std::nullopt},
      {"2", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::ParseBooleanText(c.text), c.expected) << (c.text ? c.text : "(null)");
  }
}

TEST(ConnectionInteger, IsNonNegativeWholeTextWithinLongRange) {
  struct Case {
    const char* text;
    std::optional<uint32_t> expected;
  } cases[] = {
      {"30", 30u},
      {"0", 0u},
      {" 5", 5u},
      {"+5", 5u},
      {"-5", std::nullopt},
      {"", std::nullopt},
      {nullptr, std::nullopt},
      {"5 ", std::nullopt},
      {"0x10", std::nullopt},
      {"2147483647", 2147483647u},
      {"4294967296", std::nullopt},  // would silently wrap in 32 bits
      {"-0", 0u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::ParseConnectionInteger(c.text), c.expected) << (c.text ? c.text : "(null)");
  }
}

TEST(DatabaseInteger, RejectsTextsLongerThanThirtyOneCharacters) {
  EXPECT_EQ(zv::ParseDatabaseInteger("0000000000000000000000000000042"), 42);  // 31 chars
  EXPECT_EQ(zv::ParseDatabaseInteger("00000000000000000000000000000042"), std::nullopt);
}

}  // namespace
