// The process's shared reading of the catalog version: connections within
// the bound share one request, a failure is remembered for the bound, and a
// change made here asks afresh.
#include "snapshot/confirmed_version.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "transport/transport_connection.h"
#include "util/clock.h"

namespace {

using zv::ConfirmedCatalogVersion;
constexpr int64_t kSecond = 1000000000;

class ConfirmedVersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> next{0};
    transport_.control_plane_url = "http://cp-" + std::to_string(next++) + ".test";
    ConfirmedCatalogVersion::SetFetcherForTesting([this](zv::zv_conn&) -> arrow::Result<uint64_t> {
      ++requests_;
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_.load()));
      if (fail_) return arrow::Status::IOError("control plane down");
      return sequence_.load();
    });
  }
  void TearDown() override { ConfirmedCatalogVersion::SetFetcherForTesting({}); }

  zv::zv_conn transport_;
  std::atomic<int> requests_{0};
  std::atomic<int> delay_ms_{0};
  std::atomic<uint64_t> sequence_{7};
  std::atomic<bool> fail_{false};
};

TEST_F(ConfirmedVersionTest, ConfirmationsWithinTheBoundShareOneRequest) {
  delay_ms_ = 100;
  std::vector<std::thread> callers;
  callers.reserve(8);
  std::atomic<int> agreed{0};
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&] {
      auto version = ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond);
      if (version.ok() && version->sequence == 7) ++agreed;
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(agreed, 8);
  EXPECT_EQ(requests_, 1);
  ASSERT_TRUE(ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond).ok());
  EXPECT_EQ(requests_, 1);
  // Past the bound (here: none), the next caller asks again.
  sequence_ = 8;
  auto moved = ConfirmedCatalogVersion::Confirm(transport_, 0);
  ASSERT_TRUE(moved.ok());
  EXPECT_EQ(moved->sequence, 8u);
  EXPECT_EQ(requests_, 2);
}

TEST_F(ConfirmedVersionTest, AFailureIsRememberedForTheBound) {
  fail_ = true;
  EXPECT_FALSE(ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond).ok());
  EXPECT_FALSE(ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond).ok());
  EXPECT_EQ(requests_, 1);
  fail_ = false;
  EXPECT_TRUE(ConfirmedCatalogVersion::Confirm(transport_, 0).ok());
  EXPECT_EQ(requests_, 2);
}

TEST_F(ConfirmedVersionTest, AChangeMadeHereAsksAfreshAndThePollerServesOthers) {
  ASSERT_TRUE(ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond).ok());
  const int64_t changed_at = zv::MonotonicNanos();
  sequence_ = 9;
  auto after = ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond, changed_at);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->sequence, 9u);
  EXPECT_EQ(requests_, 2);

  ConfirmedCatalogVersion::Note(transport_.control_plane_url, 12, zv::MonotonicNanos());
  auto noted = ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond);
  ASSERT_TRUE(noted.ok());
  EXPECT_EQ(noted->sequence, 12u);
  EXPECT_EQ(requests_, 2);

  // A poll asked before a change made here, answered after it, does not
  // confirm the catalog since that change.
  const int64_t poll_asked = zv::MonotonicNanos();
  ConfirmedCatalogVersion::Forget();
  const int64_t changed_again = zv::MonotonicNanos();
  sequence_ = 13;
  ConfirmedCatalogVersion::Note(transport_.control_plane_url, 12, poll_asked);
  auto fresh = ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond, changed_again);
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(fresh->sequence, 13u);
  EXPECT_EQ(requests_, 3);

  ConfirmedCatalogVersion::Forget();
  ASSERT_TRUE(ConfirmedCatalogVersion::Confirm(transport_, 5 * kSecond).ok());
  EXPECT_EQ(requests_, 4);
}

}  // namespace
