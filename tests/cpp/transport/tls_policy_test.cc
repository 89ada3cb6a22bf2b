#include "transport/tls_policy_internal.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::string ReadableFile(const char* name) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << "-----BEGIN CERTIFICATE-----\n";
  return path;
}

struct ValidateCase {
  const char* name;
  zv::zv_tls_config cfg;
  const char* url;
  const char* message;  // null: accepted
};

TEST(TlsValidate, ChecksInOrderAndExplainsEachRejection) {
  const std::string ca = ReadableFile("zv_ca.pem");
  const std::string cert = ReadableFile("zv_cert.pem");
  const std::string key = ReadableFile("zv_key.pem");
  const std::string missing = ::testing::TempDir() + "zv_no_such_file.pem";
  auto cfg = [](uint32_t encrypt) {
    zv::zv_tls_config c;
    c.encrypt = encrypt;
    return c;
  };
  auto with = [&](zv::zv_tls_config c, auto&& edit) {
    edit(c);
    return c;
  };
  const ValidateCase cases[] = {
      {"optional-http", cfg(1), "http://h", nullptr},
      {"optional-https", cfg(1), "https://h", nullptr},
      {"capital-scheme", cfg(1), "HTTPS://h", nullptr},
      {"off-http", cfg(0), "http://h", nullptr},
      {"no-scheme", cfg(1), "cp.example.com",
       "URL has no scheme; expected http:// or https:// (got 'cp.example.com')"},
      {"empty-scheme", cfg(1), "://h",
       "URL has no scheme; expected http:// or https:// (got '://h')"},
      {"ftp", cfg(1), "FTP://h", "unsupported URL scheme 'ftp'; only http and https are supported"},
      {"mandatory-http", cfg(2), "http://h",
       "Encrypt=Mandatory requires an https:// URL but Server is http://h"},
      {"strict-http", cfg(3), "http://h",
       "Encrypt=Strict requires an https:// URL but Server is http://h"},
      {"off-https", cfg(0), "https://h",
       "Encrypt=No conflicts with https:// URL https://h; use Encrypt=Optional or change the "
       "URL to http://"},
      {"trust-and-ca-before-host",
       with(cfg(1),
            [&](auto& c) {
              c.trust_server_cert = 1;
              c.ca_bundle = "/ca.pem";
              c.host_in_cert = "n";
            }),
       "https://h",
       "TrustServerCertificate=Yes is incompatible with CACertificate=/ca.pem; remove one of "
       "them"},
      {"trust-and-host",
       with(cfg(1),
            [](auto& c) {
              c.trust_server_cert = 1;
              c.host_in_cert = "n";
            }),
       "https://h",
       "HostNameInCertificate is meaningless when TrustServerCertificate=Yes; remove one of them"},
      {"bad-version", with(cfg(1), [](auto& c) { c.min_version = 14; }), "https://h",
       "MinimumTLSVersion=14 is not a recognized version"},
      {"unreadable-ca", with(cfg(1), [&](auto& c) { c.ca_bundle = missing; }), "https://h",
       nullptr /* checked below: names the path */},
      {"cert-without-key", with(cfg(1), [&](auto& c) { c.client_cert = missing; }), "http://h",
       nullptr},
      {"unreadable-cert-key-not-probed",
       with(cfg(1),
            [&](auto& c) {
              c.client_cert = missing;
              c.client_key = missing + "-key";
            }),
       "https://h", nullptr},
      {"unreadable-key",
       with(cfg(1),
            [&](auto& c) {
              c.client_cert = cert;
              c.client_key = missing;
            }),
       "https://h", nullptr},
      {"all-readable",
       with(cfg(3),
            [&](auto& c) {
              c.ca_bundle = ca;
              c.client_cert = cert;
              c.client_key = key;
              c.min_version = 12;
            }),
       "https://h", nullptr},
  };
  const std::map<std::string, std::string> path_messages = {
      {"unreadable-ca", "CACertificate path not readable: " + missing},
      {"cert-without-key",
       "Client-cert mTLS requires BOTH SSLCERT and SSLKEY (SSLCERT='" + missing + "', SSLKEY='')"},
      {"unreadable-cert-key-not-probed", "SSLCERT path not readable: " + missing},
      {"unreadable-key", "SSLKEY path not readable: " + missing},
  };
  for (const auto& c : cases) {
    arrow::Status st = zv::zv_tls_validate(&c.cfg, c.url);
    auto expected = path_messages.find(c.name);
    if (expected != path_messages.end()) {
      EXPECT_EQ(st.message(), expected->second) << c.name;
    } else if (c.message == nullptr) {
      EXPECT_TRUE(st.ok()) << c.name << ": " << st.message();
    } else {
      EXPECT_EQ(st.message(), c.message) << c.name;
    }
  }
  EXPECT_EQ(zv::zv_tls_validate(nullptr, "http://h").message(), "zv_tls_validate: cfg is NULL");
  zv::zv_tls_config ok;
  EXPECT_EQ(zv::zv_tls_validate(&ok, nullptr).message(), "zv_tls_validate: url is NULL");
}

TEST(TlsValidate, LongUrlsAreCutToTheMessageBuffer) {
  zv::zv_tls_config cfg;
  const std::string url = "nourl" + std::string(3000, 'x');
  EXPECT_EQ(zv::zv_tls_validate(&cfg, url.c_str()).message().size(), 1023u);
}

TEST(HostNameOverride, ConnectsTheCertificateNameToTheUrlsHostAndPort) {
  struct Case {
    const char* url;
    const char* connect_to;
    const char* rewritten;
  } cases[] = {
      {"https://10.0.0.5/api/v1/x?y=1", "N:443:10.0.0.5:443", "https://N:443/api/v1/x?y=1"},
      {"http://10.0.0.5:8080", "N:8080:10.0.0.5:8080", "http://N:8080"},
      // A DNS name is a valid target: libcurl resolves it as usual.
      {"https://localhost:9443/", "N:9443:localhost:9443", "https://N:9443/"},
      {"https://[::1]:9443", "N:9443:[::1]:9443", "https://N:9443"},
      {"no-scheme", "", ""},
  };
  for (const auto& c : cases) {
    auto host_override = zv::ComputeHostNameOverride(c.url, "N");
    EXPECT_EQ(host_override.connect_to_entry, c.connect_to) << c.url;
    EXPECT_EQ(host_override.rewritten_url, c.rewritten) << c.url;
  }
}

TEST(TlsApply, RefusesAnOverrideWithoutAConnectToSlotAndHandsTheListOver) {
  zv::CurlEasy easy(curl_easy_init());
  curl_easy_setopt(easy.get(), CURLOPT_URL, "https://127.0.0.1:1/");
  zv::zv_tls_config cfg;
  cfg.host_in_cert = "node.example";
  EXPECT_EQ(zv::zv_tls_apply_to_curl(easy.get(), &cfg, "https://127.0.0.1:1/", nullptr).message(),
            "HostNameInCertificate set but caller did not provide a connect-to list pointer; "
            "refusing to leak");
  zv::CurlSlist resolve;
  ASSERT_TRUE(zv::zv_tls_apply_to_curl(easy.get(), &cfg, "https://127.0.0.1:1/", &resolve).ok());
  ASSERT_NE(resolve, nullptr);
  EXPECT_STREQ(resolve->data, "node.example:1:127.0.0.1:1");
  EXPECT_EQ(zv::zv_tls_apply_to_curl(nullptr, &cfg, "u", &resolve).message(),
            "zv_tls_apply_to_curl: NULL argument");
  cfg.host_in_cert.clear();
  cfg.min_version = 9;
  EXPECT_EQ(zv::zv_tls_apply_to_curl(easy.get(), &cfg, "https://h", nullptr).message(),
            "internal: bad min TLS version 9 (validate should have caught this)");
}

}  // namespace
