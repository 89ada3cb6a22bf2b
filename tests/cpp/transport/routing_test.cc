#include "transport/routing_internal.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(ComputeUrlFor, TakesTheControlPlanesSchemeWhateverItsCase) {
  struct Case {
    const char* control_plane;
    const char* expected;
  } cases[] = {
      {"https://cp:9443/", "https://node:7000"}, {"HTTPS://cp:9443", "https://node:7000"},
      {"HttpS://cp", "https://node:7000"},       {"http://cp", "http://node:7000"},
      {"HTTP://cp", "http://node:7000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::ComputeUrlFor(c.control_plane, "node", 7000), c.expected) << c.control_plane;
  }
}

TEST(PortInRange, AcceptsOnlyTcpPorts) {
  struct Case {
    double port;
    long expected;  // 0: refused
  } cases[] = {
      {1, 1},      {65535, 65535}, {8080.7, 8080},    {0, 0},
      {-1, 0},     {65536, 0},     {4294967297.0, 0}, {1e300, 0},
      {-1e300, 0}, {NAN, 0},       {INFINITY, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::PortInRange(c.port).value_or(0), c.expected) << c.port;
  }
}

TEST(IsPlainHost, RefusesAnythingThatWouldReshapeTheUrl) {
  struct Case {
    const char* host;
    bool plain;
  } cases[] = {
      {"node-1.example.com", true},
      {"10.0.0.5", true},
      {"[::1]", true},
      {"[fe80::1%25eth0]", false},
      {"", false},
      {"user:pw@evil", false},
      {"evil/path", false},
      {"evil:81", false},
      {"evil?x", false},
      {"[::1", false},
      {"a b", false},
      {"evil#", false},
  };
  for (const auto& c : cases) EXPECT_EQ(zv::IsPlainHost(c.host), c.plain) << c.host;
}

}  // namespace
