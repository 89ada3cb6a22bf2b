#include "transport/url.h"

#include <gtest/gtest.h>

namespace {

TEST(SplitUrl, SchemeHostAndPortWithDefaultsAndIpv6) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* host;
    const char* port;
  } cases[] = {
      {"https://cp.example.com/api", "https", "cp.example.com", "443"},
      {"HTTP://cp:8080", "http", "cp", "8080"},
      {"http://10.0.0.5:8080?x=1", "http", "10.0.0.5", "8080"},
      {"https://[::1]/x", "https", "[::1]", "443"},
      {"https://[::1]:9443/x", "https", "[::1]", "9443"},
      {"http://[fe80::1", "http", "[fe80::1", "80"},
      {"http://user:pw@host:81/", "http", "user:pw@host", "81"},
      {"ftp://files", "ftp", "files", "80"},
      {"cp.example.com:443", "", "", ""},
      {"://nohost", "", "nohost", "80"},
      {"http://", "http", "", "80"},
  };
  for (const auto& c : cases) {
    zv::zv_url_parts parts = zv::SplitUrl(c.url);
    EXPECT_EQ(parts.scheme, c.scheme) << c.url;
    EXPECT_EQ(parts.host, c.host) << c.url;
    EXPECT_EQ(parts.port, c.port) << c.url;
  }
}

TEST(UrlPieces, RestAfterAuthorityAndTrailingSlashes) {
  EXPECT_EQ(zv::UrlRest("https://h:1/api/v1?x#y"), "/api/v1?x#y");
  EXPECT_EQ(zv::UrlRest("https://h:1?x"), "?x");
  EXPECT_EQ(zv::UrlRest("https://h:1"), "");
  EXPECT_EQ(zv::StripTrailingSlashes("http://h//"), "http://h");
  EXPECT_EQ(zv::WithoutUserInfo("http://user:pw@proxy:3128/x@y"), "http://proxy:3128/x@y");
  EXPECT_EQ(zv::WithoutUserInfo("http://proxy:3128"), "http://proxy:3128");
  EXPECT_EQ(zv::WithoutUserInfo("proxy:3128"), "proxy:3128");
  EXPECT_EQ(zv::StripTrailingSlashes("///"), "");
}

}  // namespace
