#include "util/secret_string.h"

#include <gtest/gtest.h>

namespace {

TEST(SecretString, DistinguishesUnsetFromEmpty) {
  zv::SecretString s;
  EXPECT_FALSE(s.has_value());
  EXPECT_EQ(s.c_str(), nullptr);
  s.Assign("");
  EXPECT_TRUE(s.has_value());
  EXPECT_TRUE(s.empty());
  EXPECT_STREQ(s.c_str(), "");
}

TEST(SecretString, MovingLeavesNoCopyBehindInTheSource) {
  zv::SecretString a("pw");
  const char* old_bytes = a.c_str();  // short value: inline buffer of `a`
  zv::SecretString b(std::move(a));
  EXPECT_STREQ(b.c_str(), "pw");
  EXPECT_FALSE(a.has_value());  // NOLINT(bugprone-use-after-move): the moved-from state
  EXPECT_EQ(old_bytes[0], '\0');
  EXPECT_EQ(old_bytes[1], '\0');
}

TEST(SecretString, ReassignmentZeroesTheOldValueInPlace) {
  zv::SecretString s(std::string(40, 'k'));
  const char* bytes = s.c_str();
  s.Assign("short");
  // The buffer is reused (capacity suffices); the tail of the old value is gone.
  EXPECT_EQ(bytes, s.c_str());
  for (size_t i = 6; i < 40; ++i) EXPECT_EQ(bytes[i], '\0') << i;
}

}  // namespace
