#include "snapshot/catalog_version_internal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CatalogVersion, ParsesEveryCounterInItsPlace) {
  const std::string body =
      R"({"sequence":1,"tables_version":2,"views_version":3,"schemas_version":4,)"
      R"("permissions_version":5,"graphs_version":6,"connections_version":7,)"
      R"("pipelines_version":8,"unrelated":9})";
  auto v = zv::parse_catalog_version_response(body.data(), body.size());
  ASSERT_TRUE(v.ok()) << v.status();
  const uint64_t got[] = {v->sequence,
                          v->tables_version,
                          v->views_version,
                          v->schemas_version,
                          v->permissions_version,
                          v->graphs_version,
                          v->connections_version,
                          v->pipelines_version};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i], static_cast<uint64_t>(i + 1)) << "counter " << i;
}

TEST(CatalogVersion, SequenceValues) {
  const std::pair<const char*, uint64_t> cases[] = {
      {R"({"sequence":42})", 42},
      {R"({"sequence":"42"})", 0},
      {R"({"sequence":4.2})", 0},
      {R"({"sequence":null})", 0},
      {R"({})", 0},
      {R"({"sequence":18446744073709551615})", UINT64_MAX},
  };
  for (const auto& [body, sequence] : cases) {
    SCOPED_TRACE(body);
    auto v = zv::parse_catalog_version_response(body, std::strlen(body));
    ASSERT_TRUE(v.ok()) << v.status();
    EXPECT_EQ(v->sequence, sequence);
  }
}

TEST(CatalogVersion, RejectedBodies) {
  const std::pair<const char*, const char*> cases[] = {
      {"[1,2]", "/api/v1/events/version response is not a JSON object"},
      {"42", "/api/v1/events/version response is not a JSON object"},
      {"{oops", "/api/v1/events/version response parse error: "},
      {"", "/api/v1/events/version response parse error: "},
  };
  for (const auto& [body, message] : cases) {
    SCOPED_TRACE(body);
    auto v = zv::parse_catalog_version_response(body, std::strlen(body));
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.status().message().rfind(message, 0), 0u) << v.status().message();
    EXPECT_LT(v.status().message().size(), zv::kEpochErrorBuffer);
  }
  auto null_body = zv::parse_catalog_version_response(nullptr, 0);
  EXPECT_EQ(null_body.status().message(), "parse_catalog_version_response: NULL argument");
  auto null_url = zv::zv_route_fetch_epoch(nullptr, "t", nullptr, nullptr);
  EXPECT_EQ(null_url.status().message(), "zv_route_fetch_epoch: NULL argument");
}

}  // namespace
