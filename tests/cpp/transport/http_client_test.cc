#include "transport/http_client.h"

#include <gtest/gtest.h>

namespace {

TEST(UserAgent, CarriesTheApplicationNameWhenSet) {
  EXPECT_EQ(zv::UserAgent(nullptr), "Zorvane-ODBC/1.0.0-alpha");
  zv::zv_conn_options options;
  EXPECT_EQ(zv::UserAgent(&options), "Zorvane-ODBC/1.0.0-alpha");
  options.application_name = "ReportTool";
  EXPECT_EQ(zv::UserAgent(&options), "Zorvane-ODBC/1.0.0-alpha ReportTool");
  EXPECT_EQ(zv::ConnectTimeoutSec(nullptr), 10);
  options.connect_timeout_sec = -3;
  EXPECT_EQ(zv::ConnectTimeoutSec(&options), 10);
  options.connect_timeout_sec = 4;
  EXPECT_EQ(zv::ConnectTimeoutSec(&options), 4);
}

TEST(HttpErrorMessage, UsesTheServersErrorTextOrTheBodyPrefix) {
  const std::string html = "<html>" + std::string(400, 'x') + "</html>";
  struct Case {
    std::string body;
    std::string expected;
  } cases[] = {
      {R"({"error":"no capacity"})", "compute node recommend failed (HTTP 503): no capacity"},
      {R"({"error":{"message":"nested"}})",
       R"(compute node recommend failed (HTTP 503): {"error":{"message":"nested"}})"},
      {R"(["error"])", R"(compute node recommend failed (HTTP 503): ["error"])"},
      {"", "compute node recommend failed (HTTP 503 with an empty body)"},
      {" \r\n", "compute node recommend failed (HTTP 503 with an empty body)"},
      {R"({"error":""})", R"(compute node recommend failed (HTTP 503): {"error":""})"},
      {html, "compute node recommend failed (HTTP 503): " + html.substr(0, 256)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::HttpErrorMessage("compute node recommend", 503, c.body), c.expected) << c.body;
  }
}

TEST(AuthErrorMessage, CombinesMessageErrorAndDetails) {
  struct Case {
    const char* body;
    const char* expected;
  } cases[] = {
      {R"({"message":"bad credentials","error":"invalid_grant","details":"user locked"})",
       "control plane auth failed (HTTP 401): bad credentials [invalid_grant] (user locked)"},
      {R"({"details":"user locked"})", "control plane auth failed (HTTP 401): (user locked)"},
      {R"({"error":"invalid_grant"})", "control plane auth failed (HTTP 401): invalid_grant"},
      {R"({"message":"m"})", "control plane auth failed (HTTP 401): m"},
      {R"({"message":5})", R"(control plane auth failed (HTTP 401): {"message":5})"},
      {"not json", "control plane auth failed (HTTP 401): not json"},
      {"", "control plane auth failed (HTTP 401 with an empty body)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::AuthErrorMessage(401, c.body), c.expected) << c.body;
  }
}

TEST(ForbiddenControlCharacters, AreLineFeedsAndCarriageReturnsOnly) {
  EXPECT_TRUE(zv::HasForbiddenControlCharacters("a\nb"));
  EXPECT_TRUE(zv::HasForbiddenControlCharacters("a\rb"));
  EXPECT_FALSE(zv::HasForbiddenControlCharacters("a\tb"));
}

}  // namespace
