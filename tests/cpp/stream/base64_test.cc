#include "stream/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string AsText(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(Base64Decode, AcceptsPaddedAndUnpaddedGroups) {
  struct Case {
    std::string_view text;
    std::string bytes;
  };
  for (const Case& c : {Case{"QQ==", "A"}, Case{"QUI=", "AB"}, Case{"QUJD", "ABC"},
                        Case{"QUJDRA==", "ABCD"}, Case{"Zm9vYmFy", "foobar"},
                        Case{"+/+/", "\xFB\xFF\xBF"}, Case{"AAAA", std::string(3, '\0')}}) {
    SCOPED_TRACE(c.text);
    auto decoded = zv::zv_base64_decode(c.text);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(AsText(*decoded), c.bytes);
  }
}

TEST(Base64Decode, RefusesAnythingNotStrictlyPadded) {
  using namespace std::string_view_literals;
  for (std::string_view text :
       {""sv, "QQ="sv, "QUJDR"sv, "=QUJ"sv, "Q=UJ"sv, "QQ=A"sv, "QQ==QUJD"sv, "QUI=QUJD"sv,
        "QU JD"sv, "QUJD\n"sv, "QU\nJ"sv, " QUJ"sv, "QUJ-"sv, "QUJ_"sv, "QU\0D"sv, "\xC3\xA9QQ"sv,
        "QQ==="sv, "===="sv}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_FALSE(zv::zv_base64_decode(text).has_value());
  }
}

TEST(Base64Encode, MatchesKnownVectorsAndPadsToFour) {
  struct Case {
    std::string bytes;
    std::string_view text;
  };
  for (const Case& c : {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foo", "Zm9v"},
                        Case{"foob", "Zm9vYg=="}, Case{"\xFB\xFF\xBF", "+/+/"}}) {
    EXPECT_EQ(
        zv::zv_base64_encode(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
        c.text);
  }
  const std::vector<uint8_t> schema_bytes(200, 0x41);
  const std::string text = zv::zv_base64_encode(schema_bytes.data(), schema_bytes.size());
  EXPECT_EQ(text.size(), 268u);
  EXPECT_EQ(text.back(), '=');
  EXPECT_NE(text[266], '=');
}

TEST(Base64, EncodingRoundTripsEveryByteValueAtEveryTailLength) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 259; ++i) {
    bytes.push_back(static_cast<uint8_t>(i * 7 + 3));
    auto decoded = zv::zv_base64_decode(zv::zv_base64_encode(bytes.data(), bytes.size()));
    ASSERT_TRUE(decoded.has_value()) << bytes.size();
    ASSERT_EQ(*decoded, bytes);
  }
}

}  // namespace
