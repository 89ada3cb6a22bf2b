#include "stream/error_classification.h"

#include <gtest/gtest.h>

namespace {

TEST(ClassifyTransportMessage, FirstRuleInTableOrderWins) {
  struct Case {
    const char* text;
    const char* sqlstate;
  } cases[] = {
      {"login failed: invalid credentials", "28000"},
      {"authentication failed for user", "28000"},
      {"HTTP 401 Unauthorized", "28000"},
      {"status 401", "28000"},
      {"could not connect to server", "08001"},
      {"connect: connection refused", "08001"},
      {"TLS handshake failed", "08001"},
      {"SSL certificate verify failed", "08001"},
      {"DNS lookup failed", "08001"},
      // libcurl's wording is not read: its result code says it (HttpRequest).
      {"HTTP transport error: Couldn't connect to server", "HY000"},
      {"connection closed by peer", "08006"},
      {"write: broken pipe", "08006"},
      {"the server hung up", "08006"},
      {"operation timed out", "HYT00"},
      {"read timeout", "HYT00"},
      {"syntax error at or near SELEC", "42000"},
      {"parse error", "42000"},
      {"Plan error: no such column", "42000"},
      {"Schema mismatch in batch 3", "42000"},
      {"Forbidden", "42501"},
      {"HTTP 403", "42501"},
      {"permission denied for table t", "42501"},
      // Order of the rules, not the position in the text, decides.
      {"request timed out after DNS retry", "08001"},
      {"HTTP 403 then 401", "28000"},
      // Matching is case-sensitive.
      {"Permission denied", "HY000"},
      {"unauthorized", "HY000"},
      {"", "HY000"},
      {zv::kNoTransportMessage, "HY000"},
      // Status codes count only as numbers of their own, not inside a port.
      {"could not connect to 127.0.0.1 port 40183 after 0 ms", "08001"},
      {"read 14032 bytes", "HY000"},
      {"status=401;", "28000"},
      {"(HTTP 403)", "42501"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(zv::zv_classify_transport_message(c.text), c.sqlstate) << c.text;
  }
}

TEST(ServerErrorFields, TakesOnlyWellFormedStatesAndShortCodes) {
  struct Case {
    const char* json;
    const char* sqlstate;
    const char* code;
  } cases[] = {
      {R"({"message":"m","sqlstate":"42S02","errorCode":"CatalogException"})", "42S02",
       "CatalogException"},
      {R"({"sqlstate":"42s02"})", "", ""},   // lower case is not a SQLSTATE
      {R"({"sqlstate":"4200"})", "", ""},    // too short
      {R"({"sqlstate":"420000"})", "", ""},  // too long
      {R"({"sqlstate":"42-00"})", "", ""},
      {R"({"sqlstate":42000,"errorCode":17})", "", "17"},
      {R"({"errorCode":["x"]})", "", ""},
      {"not json", "", ""},
      {"", "", ""},
      {R"(["sqlstate","42000"])", "", ""},
  };
  for (const auto& c : cases) {
    zv::ServerErrorFields fields = zv::zv_server_error_fields(c.json);
    EXPECT_EQ(fields.sqlstate, c.sqlstate) << c.json;
    EXPECT_EQ(fields.code, c.code) << c.json;
  }
  const std::string long_code = R"({"errorCode":")" + std::string(65, 'x') + R"("})";
  EXPECT_EQ(zv::zv_server_error_fields(long_code).code, "");
}

TEST(ComputeErrorText, PrefersTheServersMessageAndFallsBackToTheBody) {
  struct Case {
    const char* body;
    long status;
    std::string expected;
  } cases[] = {
      {R"({"message":"SQL execution error: internal error: table t not found for 'SELECT * FROM t'"})",
       400, "table t not found"},
      {R"({"error":{"message":"bad plan"}})", 500, "bad plan"},
      {R"({"error":"nope"})", 400, "nope"},
      {R"({"error":42})", 400, R"(compute returned HTTP 400: {"error":42})"},
      {R"({"message":7,"error":"fallback"})", 400, "fallback"},
      {"", 502, "compute returned HTTP 502"},
      {"<html>oops</html>", 503, "compute returned HTTP 503: <html>oops</html>"},
      {"[1,2]", 400, "compute returned HTTP 400: [1,2]"},
      {"{\"message\":\"\xff\xfe\"}", 400, "compute returned HTTP 400: {\"message\":\"\xff\xfe\"}"},
      {R"({"message":""})", 418, R"(compute returned HTTP 418: {"message":""})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::zv_compute_error_text(c.body, c.status), c.expected) << c.body;
  }
}

TEST(ComputeErrorText, LongTextsAreCutTo1024CharactersWithEllipsis) {
  std::string body = R"({"message":")" + std::string(2000, 'x') + R"("})";
  std::string text = zv::zv_compute_error_text(body, 500);
  ASSERT_EQ(text.size(), 1024u);
  EXPECT_EQ(text.substr(0, 1021), std::string(1021, 'x'));
  EXPECT_EQ(text.substr(1021), "...");
}

TEST(NormalizeComputeMessage, StripsPrefixesOnlyFromLongerTexts) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"SQL execution error: internal error: boom for 'SELECT 1'", "boom"},
      {"Session error: Session error: x", "x"},
      {"SQL execution error: ", "SQL execution error: "},
      {"internal error: it's fine'", "it's fine'"},
      {"a for 'b' and c", "a for 'b' and c"},
      {" for 'x'", ""},
      {"x'", "x'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::zv_normalize_compute_message(c.text), c.expected) << c.text;
  }
}

TEST(NormalizeComputeMessage, RemovesAtMostSixPrefixes) {
  std::string text;
  for (int i = 0; i < 7; ++i) text += "internal error: ";
  EXPECT_EQ(zv::zv_normalize_compute_message(text + "x"), "internal error: x");
}

}  // namespace
