#include "driver/database.h"

#include <fstream>
#include <sstream>

#include "diagnostics/log.h"
#include "driver/adbc_test_util.h"

namespace {

using zv::testing::ScopedError;

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_ADBC_OK(zv::DatabaseNew(&db_, err_.get()), err_); }
  void TearDown() override { zv::DatabaseRelease(&db_, nullptr); }
  zv::ZVDatabase& record() { return *static_cast<zv::ZVDatabase*>(db_.private_data); }
  AdbcStatusCode Set(const char* key, const char* value) {
    return zv::DatabaseSetOption(&db_, key, value, err_.get());
  }

  AdbcDatabase db_{};
  ScopedError err_;
};

struct OptionCase {
  const char* key;
  const char* value;
  AdbcStatusCode status;
  const char* message;  // expected on rejection
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << c.key << "=" << (c.value ? c.value : "(null)");
}

class DatabaseOptionValues : public DatabaseTest,
                             public ::testing::WithParamInterface<OptionCase> {};

constexpr const char* kTimeoutMsg =
    "adbc.zorvane.connect_timeout_sec must be a non-negative integer (0 means use the driver "
    "default)";
constexpr const char* kBufferMsg =
    "adbc.zorvane.max_stream_buffer_mb must be a non-negative integer in MB (0 means use the "
    "driver default of 256 MB)";
constexpr const char* kEncryptMsg =
    "adbc.zorvane.tls.encrypt must be one of Off, Optional, Mandatory, Strict";
constexpr const char* kTrustMsg = "adbc.zorvane.tls.trust_server_cert must be true or false";
constexpr const char* kMinVersionMsg =
    "adbc.zorvane.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'";
constexpr const char* kLevelMsg =
    "adbc.zorvane.log_level must be one of off, error, warn, info, debug, trace";

const OptionCase kOptionCases[] = {
    {"uri", "https://cp.example", 0, nullptr},
    {"uri", "", 5, "uri must be a non-empty string"},
    {"uri", nullptr, 5, "uri must be a non-empty string"},
    {"username", nullptr, 0, nullptr},
    {"password", "s3cret", 0, nullptr},
    {"adbc.zorvane.application_name", "名前", 0, nullptr},
    {"adbc.zorvane.connect_timeout_sec", "0", 0, nullptr},
    {"adbc.zorvane.connect_timeout_sec", "30", 0, nullptr},
    {"adbc.zorvane.connect_timeout_sec", " +7", 0, nullptr},
    {"adbc.zorvane.connect_timeout_sec", "2147483647", 0, nullptr},
    {"adbc.zorvane.connect_timeout_sec", "2147483648", 5, kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", "-1", 5, kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", "10s", 5, kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", "", 5, kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", nullptr, 5, kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", "1234567890123456789012345678901234567890", 5,
     kTimeoutMsg},
    {"adbc.zorvane.connect_timeout_sec", "٣", 5, kTimeoutMsg},
    {"adbc.zorvane.max_stream_buffer_mb", "512", 0, nullptr},
    {"adbc.zorvane.max_stream_buffer_mb", "-", 5, kBufferMsg},
    {"adbc.zorvane.tls.encrypt", "STRICT", 0, nullptr},
    {"adbc.zorvane.tls.encrypt", "Optional", 0, nullptr},
    {"adbc.zorvane.tls.encrypt", "required", 5, kEncryptMsg},
    {"adbc.zorvane.tls.trust_server_cert", "YES", 0, nullptr},
    {"adbc.zorvane.tls.trust_server_cert", "maybe", 5, kTrustMsg},
    {"adbc.zorvane.tls.trust_server_cert", nullptr, 5, kTrustMsg},
    {"adbc.zorvane.tls.min_version", "any", 0, nullptr},
    {"adbc.zorvane.tls.min_version", "ANY", 0, nullptr},
    {"adbc.zorvane.tls.min_version", "1.3", 0, nullptr},
    {"adbc.zorvane.tls.min_version", "aNy", 5, kMinVersionMsg},
    {"adbc.zorvane.tls.min_version", "TLS1.2", 5, kMinVersionMsg},
    {"adbc.zorvane.log_level", "WARNING", 0, nullptr},
    {"adbc.zorvane.log_level", "verbose", 5, kLevelMsg},
    {"adbc.zorvane.log_level", nullptr, 5, kLevelMsg},
    {"URI", "x", 2, "unknown database option key: URI"},
    {"adbc.zorvane.nope", "x", 2, "unknown database option key: adbc.zorvane.nope"},
};

TEST_P(DatabaseOptionValues, AreValidatedWhenSet) {
  const OptionCase& c = GetParam();
  EXPECT_EQ(c.status, Set(c.key, c.value)) << err_.message();
  if (c.status == ADBC_STATUS_OK) return;
  EXPECT_EQ(err_.message(), c.message);
  EXPECT_EQ(err_.sqlstate(), c.status == ADBC_STATUS_NOT_IMPLEMENTED ? "HYC00" : "HY009");
}

INSTANTIATE_TEST_SUITE_P(OptionTable, DatabaseOptionValues, ::testing::ValuesIn(kOptionCases));

TEST_F(DatabaseTest, StoresNormalisedValuesAndKeepsOldOnRejection) {
  ASSERT_ADBC_OK(Set("adbc.zorvane.tls.trust_server_cert", "YES"), err_);
  EXPECT_EQ(record().tls_trust_server_cert, "true");
  ASSERT_ADBC_OK(Set("adbc.zorvane.tls.encrypt", "STRICT"), err_);
  EXPECT_EQ(record().tls_encrypt, "STRICT");
  ASSERT_ADBC_OK(Set("adbc.zorvane.connect_timeout_sec", "30"), err_);
  EXPECT_NE(ADBC_STATUS_OK, Set("adbc.zorvane.connect_timeout_sec", "-1"));
  EXPECT_EQ(record().connect_timeout_sec, 30);
  ASSERT_ADBC_OK(Set("uri", "http://a"), err_);
  EXPECT_NE(ADBC_STATUS_OK, Set("uri", ""));
  EXPECT_EQ(record().uri, "http://a");
  ASSERT_ADBC_OK(Set("username", "alice"), err_);
  ASSERT_ADBC_OK(Set("username", nullptr), err_);
  EXPECT_FALSE(record().username.has_value());
  ASSERT_ADBC_OK(Set("password", "pw"), err_);
  ASSERT_ADBC_OK(Set("password", nullptr), err_);
  EXPECT_FALSE(record().password.has_value());
}

struct InitCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> options;
  AdbcStatusCode status;
  const char* message;
};

class DatabaseInitChecks : public DatabaseTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(DatabaseInitChecks, CheckTheOptionCombination) {
  const InitCase& c = GetParam();
  for (auto [key, value] : c.options) ASSERT_ADBC_OK(Set(key, value), err_);
  EXPECT_EQ(c.status, zv::DatabaseInit(&db_, err_.get())) << err_.message();
  if (c.status != ADBC_STATUS_OK) {
    EXPECT_EQ(err_.message(), c.message);
    EXPECT_EQ(err_.sqlstate(), "HY009");
    EXPECT_FALSE(record().initialised);
  } else {
    EXPECT_TRUE(record().initialised);
  }
}

const InitCase kInitCases[] = {
    {"NoUri",
     {{"username", "u"}},
     5,
     "AdbcDatabaseInit: 'uri' option is required (control-plane URL)"},
    {"NoCredentialsAtAll",
     {{"uri", "http://h"}, {"password", "p"}},
     5,
     "AdbcDatabaseInit: must set either 'adbc.zorvane.session_token' OR 'username' (with "
     "'password' or an OS keychain entry for it)"},
    {"EmptyTokenAndEmptyUser",
     {{"uri", "http://h"}, {"adbc.zorvane.session_token", ""}, {"username", ""}},
     5,
     "AdbcDatabaseInit: must set either 'adbc.zorvane.session_token' OR 'username' (with "
     "'password' or an OS keychain entry for it)"},
    {"BothComputeTargets",
     {{"uri", "http://h"},
      {"username", "u"},
      {"adbc.zorvane.compute_url", "http://c"},
      {"adbc.zorvane.compute_node", "node-1"}},
     5,
     "AdbcDatabaseInit: 'adbc.zorvane.compute_url' and 'adbc.zorvane.compute_node' are mutually "
     "exclusive"},
    {"UsernameWithoutPassword", {{"uri", "http://h"}, {"username", "u"}}, 0, nullptr},
    {"TokenOnly", {{"uri", "http://h"}, {"adbc.zorvane.session_token", "t"}}, 0, nullptr},
    {"EmptyComputeNodeIsUnset",
     {{"uri", "http://h"},
      {"username", "u"},
      {"adbc.zorvane.compute_url", "http://c"},
      {"adbc.zorvane.compute_node", ""}},
     0,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Combinations, DatabaseInitChecks, ::testing::ValuesIn(kInitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatabaseTest, FailedInitCanBeCorrectedAndRepeated) {
  EXPECT_EQ(ADBC_STATUS_INVALID_ARGUMENT, zv::DatabaseInit(&db_, err_.get()));
  ASSERT_ADBC_OK(Set("uri", "http://h"), err_);
  ASSERT_ADBC_OK(Set("username", "u"), err_);
  EXPECT_ADBC_OK(zv::DatabaseInit(&db_, err_.get()), err_);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST_F(DatabaseTest, OptionLogLinesHideSecretValues) {
  std::string path = ::testing::TempDir() + "zv_db_option_log.txt";
  std::remove(path.c_str());
  zv::zv_log_configure(path.c_str(), zv::kLogInfo);
  Set("password", "hunter2-pw");
  Set("adbc.zorvane.session_token", "tok-abc-123");
  Set("adbc.zorvane.tls.client_key", "/keys/client.pem");
  Set("adbc.zorvane.proxy_pass", "proxy-pw");
  Set("username", "alice");
  Set("adbc.zorvane.application_name", nullptr);
  zv::zv_log_configure(nullptr, zv::kLogOff);

  std::string log = ReadFile(path);
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"password\", value=[REDACTED])"));
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"adbc.zorvane.session_token\", value=[REDACTED])"));
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"adbc.zorvane.tls.client_key\", value=[REDACTED])"));
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"username\", value=alice)"));
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"adbc.zorvane.application_name\", value=(null))"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("hunter2-pw")));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("tok-abc-123")));
  EXPECT_THAT(log, ::testing::HasSubstr("key=\"adbc.zorvane.proxy_pass\", value=[REDACTED])"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("proxy-pw")));
  std::remove(path.c_str());
}

TEST_F(DatabaseTest, ConnectionUriLogLinesHideTheCredentials) {
  std::string path = ::testing::TempDir() + "zv_db_uri_log.txt";
  std::remove(path.c_str());
  zv::zv_log_configure(path.c_str(), zv::kLogInfo);
  ASSERT_ADBC_OK(Set("uri", "zorvane+http://alice:hunter2-pw@h:9/?tls=off"), err_);
  ASSERT_ADBC_OK(zv::DatabaseInit(&db_, err_.get()), err_);
  zv::zv_log_configure(nullptr, zv::kLogOff);
  std::string log = ReadFile(path);
  EXPECT_THAT(log, ::testing::HasSubstr("value=zorvane+http://[REDACTED]@h:9/?tls=off)"));
  EXPECT_THAT(log, ::testing::HasSubstr("uri=\"http://h:9\""));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("hunter2-pw")));
  std::remove(path.c_str());
}

struct UriMergeCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> options;  // in call order
  const char* uri;
  const char* user;
  const char* password;  // null: unset
  const char* encrypt;   // null: unset
};

class DatabaseConnectionUri : public DatabaseTest,
                              public ::testing::WithParamInterface<UriMergeCase> {};

// Options set on their own win over the URI, whichever comes first; the URI's
// password is dropped when another user is named.
TEST_P(DatabaseConnectionUri, MergesUnderTheExplicitOptionsAtInit) {
  const UriMergeCase& c = GetParam();
  for (auto [key, value] : c.options) ASSERT_ADBC_OK(Set(key, value), err_);
  ASSERT_ADBC_OK(zv::DatabaseInit(&db_, err_.get()), err_);
  EXPECT_EQ(record().uri, c.uri);
  EXPECT_EQ(record().username, c.user);
  EXPECT_EQ(record().password.has_value(), c.password != nullptr);
  if (c.password) EXPECT_EQ(record().password.view(), c.password);
  EXPECT_EQ(record().tls_encrypt, c.encrypt ? std::optional<std::string>(c.encrypt) : std::nullopt);
}

const UriMergeCase kUriMergeCases[] = {
    {"UriAlone",
     {{"uri", "zorvane://al%69ce:p%26w@h:1/?tls=strict"}},
     "https://h:1",
     "alice",
     "p&w",
     "strict"},
    {"TlsOffMeansPlainHttp",
     {{"uri", "zorvane://u:p@[::1]:7/?tls=off"}},
     "http://[::1]:7",
     "u",
     "p",
     "off"},
    {"ExplicitTlsOffAlsoMeansPlainHttp",
     {{"adbc.zorvane.tls.encrypt", "OFF"}, {"uri", "zorvane://u@h:7/?tls=strict"}},
     "http://h:7",
     "u",
     nullptr,
     "OFF"},
    {"ExplicitPasswordSetBefore",
     {{"password", "mine"}, {"uri", "zorvane://u:theirs@h"}},
     "https://h",
     "u",
     "mine",
     nullptr},
    {"ExplicitPasswordSetAfter",
     {{"uri", "zorvane://u:theirs@h"}, {"password", "mine"}},
     "https://h",
     "u",
     "mine",
     nullptr},
    {"OtherUserDropsTheUriPassword",
     {{"uri", "zorvane://u:theirs@h"}, {"username", "bob"}},
     "https://h",
     "bob",
     nullptr,
     nullptr},
    {"SameUserKeepsTheUriPassword",
     {{"username", "u"}, {"uri", "zorvane://u:theirs@h"}},
     "https://h",
     "u",
     "theirs",
     nullptr},
    {"UnsettingAnOptionLetsTheUriValueThrough",
     {{"username", "bob"}, {"uri", "zorvane://u:p@h"}, {"username", nullptr}},
     "https://h",
     "u",
     "p",
     nullptr},
    {"LaterPlainUrlReplacesTheUri",
     {{"uri", "zorvane://u:p@h"}, {"uri", "http://other"}, {"username", "x"}},
     "http://other",
     "x",
     nullptr,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Precedence, DatabaseConnectionUri, ::testing::ValuesIn(kUriMergeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DatabaseTest, AChangedUriAfterAFailedInitLeavesNothingOfTheOldOne) {
  ASSERT_ADBC_OK(Set("uri", "zorvane://old:pw@h/?compute_node=n1&connect_timeout_sec=9"), err_);
  ASSERT_ADBC_OK(Set("adbc.zorvane.compute_url", "http://c"), err_);
  ASSERT_EQ(ADBC_STATUS_INVALID_ARGUMENT, zv::DatabaseInit(&db_, err_.get()));
  EXPECT_EQ(record().compute_node, "n1");  // merged for the checks
  ASSERT_ADBC_OK(Set("uri", "zorvane://new@h2/"), err_);
  ASSERT_ADBC_OK(zv::DatabaseInit(&db_, err_.get()), err_);
  EXPECT_EQ(record().uri, "https://h2");
  EXPECT_EQ(record().username, "new");
  EXPECT_FALSE(record().password.has_value());
  EXPECT_FALSE(record().compute_node.has_value());
  EXPECT_EQ(record().connect_timeout_sec, 0);
  EXPECT_EQ(record().compute_url, "http://c");
}

TEST_F(DatabaseTest, ConnectionUriParameterValuesAreCheckedWhenSet) {
  EXPECT_EQ(ADBC_STATUS_INVALID_ARGUMENT, Set("uri", "zorvane://u:p@h/?tls=required"));
  EXPECT_EQ(err_.message(),
            "uri: adbc.zorvane.tls.encrypt must be one of Off, Optional, Mandatory, Strict");
  EXPECT_EQ(err_.sqlstate(), "HY009");
  EXPECT_FALSE(record().uri.has_value());
}

}  // namespace
