#include "transport/auth_internal.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseAuthResponse, TakesTypedMembersAndRequiresAUsableSessionToken) {
  struct Case {
    const char* body;
    const char* error;  // null: success
  } cases[] = {
      {R"({"session_token":"t","subject_id":"user:a","expires_in":3600})", nullptr},
      {R"({"session_token":"t\tx"})", nullptr},
      {"{", "auth response is not valid JSON: "},
      {"[1]", "auth response is not a JSON object"},
      {R"({"access_token":"a"})", "auth response did not include a session_token"},
      {R"({"session_token":42})", "auth response did not include a session_token"},
      {R"({"session_token":"t\r\n"})",
       "auth response session_token contains forbidden control characters"},
      {R"({"session_token":"t","access_token":"a\nb"})",
       "auth response access_token contains forbidden control characters"},
  };
  for (const auto& c : cases) {
    auto result = zv::ParseAuthResponse(c.body);
    if (c.error == nullptr) {
      EXPECT_TRUE(result.ok()) << c.body << ": " << result.status().message();
    } else {
      ASSERT_FALSE(result.ok()) << c.body;
      EXPECT_EQ(result.status().message().rfind(c.error, 0), 0u)
          << c.body << ": " << result.status().message();
    }
  }
  auto ok = zv::ParseAuthResponse(
      R"({"session_token":"t","subject_id":"user:a","expires_in":3600,"name":7})");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->subject_id, "user:a");
  EXPECT_EQ(ok->expires_in, 3600);
  EXPECT_FALSE(ok->name.has_value());
  EXPECT_EQ(ok->session_token.view(), "t");
}

TEST(LoginPassword, RefusesNonUtf8CredentialsBeforeAnyTraffic) {
  auto result = zv::zv_auth_login_password("http://127.0.0.1:1", "alice", "pw\xff\xfe", nullptr,
                                           nullptr, nullptr);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.status().message().rfind(
                "auth: failed to encode credentials as JSON (non-UTF-8 input?): ", 0),
            0u)
      << result.status().message();
  EXPECT_EQ(
      zv::zv_auth_login_password(nullptr, "a", "b", nullptr, nullptr, nullptr).status().message(),
      "zv_auth_login_password: NULL argument");
}

TEST(TokenCache, KeysNeedAllPartsAndNeverHoldThePassword) {
  EXPECT_EQ(zv::TokenCache::Key("http://cp", "alice", ""), "");
  EXPECT_EQ(zv::TokenCache::Key("http://cp", nullptr, "pw"), "");
  const std::string key = zv::TokenCache::Key("http://cp", "alice", "hunter2");
  EXPECT_EQ(key.find("hunter2"), std::string::npos);
  EXPECT_EQ(key, zv::TokenCache::Key("http://cp", "alice", "hunter2"));
  EXPECT_NE(key, zv::TokenCache::Key("http://cp", "alice", "hunter3"));
  EXPECT_NE(key, zv::TokenCache::Key("http://cp/", "alice", "hunter2"));
}

TEST(TokenCache, EntriesLiveThreeHundredSeconds) {
  auto& cache = zv::TokenCache::Instance();
  cache.ClearForTesting();
  const std::string key = zv::TokenCache::Key("http://cp", "alice", "pw");
  EXPECT_FALSE(cache.Lookup(key).has_value());
  cache.Store(key, zv::SecretString("tok-1"));
  cache.AgeEntriesForTesting(299);
  auto hit = cache.Lookup(key);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(hit->view(), "tok-1");
  cache.AgeEntriesForTesting(2);
  EXPECT_FALSE(cache.Lookup(key).has_value());
  cache.Store(key, zv::SecretString("tok-2"));
  EXPECT_EQ(cache.Lookup(key)->view(), "tok-2");
  cache.Store("", zv::SecretString("ignored"));
  EXPECT_FALSE(cache.Lookup("").has_value());
  cache.ClearForTesting();
}

}  // namespace
