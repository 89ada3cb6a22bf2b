// The process-wide snapshot cache, the per-connection store and the poller's
// start-up. The cache is shared by every test in the process, so each test
// starts by clearing it.
#include "snapshot/snapshot_cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "diagnostics/log.h"
#include "snapshot/snapshot_poller_internal.h"
#include "snapshot/snapshot_store.h"
#include "stream/ipc_test_streams.h"
#include "util/clock.h"

namespace {

using zv::SnapshotCache;

zv::SnapshotSlots FilledSlots(int64_t rows) {
  zv::SnapshotSlots slots;
  for (auto& slot : slots) slot = zv_test::SampleBatch(rows);
  return slots;
}

zv::SnapshotCacheEntry Entry(int64_t rows, uint64_t epoch, const char* url, const char* token) {
  zv::SnapshotCacheEntry entry;
  entry.slots = FilledSlots(rows);
  entry.epoch = epoch;
  entry.user = "demo";
  entry.origin.control_plane_url = url;
  if (token != nullptr) entry.origin.session_token.Assign(token);
  return entry;
}

class SnapshotCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { SnapshotCache::Clear(); }
  void TearDown() override { SnapshotCache::Clear(); }
};

TEST_F(SnapshotCacheTest, InvalidateDropsEntriesAndRefusesStoresOfEarlierFetches) {
  const std::string key = SnapshotCache::Key("http://cp", "demo");
  SnapshotCache::Store(key, Entry(1, 5, "http://cp", "t"));
  const uint64_t before_change = SnapshotCache::Generation();
  SnapshotCache::Invalidate();
  EXPECT_FALSE(SnapshotCache::Lookup(key).has_value());
  // A fetch that began before the change may hold the old catalog.
  SnapshotCache::Store(key, Entry(1, 5, "http://cp", "t"), before_change);
  EXPECT_FALSE(SnapshotCache::Lookup(key).has_value());
  SnapshotCache::Store(key, Entry(1, 6, "http://cp", "t"), SnapshotCache::Generation());
  ASSERT_TRUE(SnapshotCache::Lookup(key).has_value());
  EXPECT_EQ(SnapshotCache::Lookup(key)->epoch, 6u);
  // Known current when its fetch began, however long the fetch took.
  zv::SnapshotCacheEntry slow = Entry(1, 7, "http://cp", "t");
  const int64_t began = zv::MonotonicNanos() - 20'000'000'000;
  slow.fetched_at_ns = began;
  SnapshotCache::Store(key, std::move(slow));
  EXPECT_EQ(SnapshotCache::Lookup(key)->stored_at_ns, began);
}

TEST_F(SnapshotCacheTest, KeyNeedsUrlAndUser) {
  EXPECT_EQ(SnapshotCache::Key("http://cp", "demo"), std::string("http://cp\x1f"
                                                                 "demo"));
  const std::pair<const char*, const char*> uncached[] = {
      {nullptr, "demo"}, {"http://cp", nullptr}, {"", "demo"}, {"http://cp", ""}};
  for (const auto& [url, user] : uncached) EXPECT_EQ(SnapshotCache::Key(url, user), "");
  // An empty key neither stores nor finds anything.
  SnapshotCache::Store("", Entry(1, 1, "http://cp", "t"));
  EXPECT_EQ(SnapshotCache::SizeForTesting(), 0u);
  EXPECT_FALSE(SnapshotCache::Lookup(""));
}

TEST_F(SnapshotCacheTest, EntriesLiveFor300SecondsAndAreReplacedWhole) {
  const std::string key = SnapshotCache::Key("http://cp", "demo");
  SnapshotCache::Store(key, Entry(1, 5, "http://cp", "t"));
  SnapshotCache::AgeEntriesForTesting(299);
  auto hit = SnapshotCache::Lookup(key);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->epoch, 5u);
  EXPECT_EQ(hit->slots[8]->num_rows(), 1);

  SnapshotCache::Store(key, Entry(2, 6, "http://cp", "t"));  // restarts the age
  SnapshotCache::AgeEntriesForTesting(299);
  hit = SnapshotCache::Lookup(key);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->epoch, 6u);
  EXPECT_EQ(hit->slots[0]->num_rows(), 2);

  SnapshotCache::AgeEntriesForTesting(2);
  EXPECT_FALSE(SnapshotCache::Lookup(key));
  EXPECT_EQ(SnapshotCache::SizeForTesting(), 0u) << "an expired entry is erased on lookup";
}

TEST_F(SnapshotCacheTest, EpochZeroIsStillAHit) {
  const std::string key = SnapshotCache::Key("http://cp", "demo");
  SnapshotCache::Store(key, Entry(1, 0, "http://cp", "t"));
  EXPECT_TRUE(SnapshotCache::Lookup(key));
}

TEST_F(SnapshotCacheTest, ClearingLeavesInstalledStoresAlone) {
  const std::string key = SnapshotCache::Key("http://cp", "demo");
  SnapshotCache::Store(key, Entry(3, 9, "http://cp", "t"));
  zv::ZVSnapshotStore store;
  auto hit = SnapshotCache::Lookup(key);
  ASSERT_TRUE(hit);
  store.Install(hit->slots, hit->epoch);
  hit.reset();
  SnapshotCache::Clear();
  EXPECT_FALSE(SnapshotCache::Lookup(key));
  const auto contents = store.Read();
  EXPECT_EQ(contents.epoch, 9u);
  for (const auto& slot : contents.slots) {
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->num_rows(), 3);
  }
  EXPECT_EQ(store.slot(3)->num_rows(), 3);
  EXPECT_EQ(store.slot(9), nullptr);
  EXPECT_EQ(store.slot(-1), nullptr);
}

TEST_F(SnapshotCacheTest, PollTargetCarriesTheFetchingConnectionsSettings) {
  EXPECT_FALSE(SnapshotCache::PollTarget()) << "nothing cached, nothing to poll";
  SnapshotCache::Store("no-token", Entry(1, 1, "http://a", nullptr));
  SnapshotCache::Store("no-url", Entry(1, 1, "", "t"));
  EXPECT_FALSE(SnapshotCache::PollTarget());

  zv::SnapshotCacheEntry entry = Entry(1, 1, "https://cp", "token-1");
  entry.origin.tls.encrypt = zv::kEncryptStrict;
  entry.origin.tls.ca_bundle = "/etc/ca.pem";
  entry.origin.tls.client_cert = "/etc/client.pem";
  entry.origin.options.proxy_url = "http://proxy:3128";
  entry.origin.options.proxy_pass.Assign("secret");
  entry.origin.options.connect_timeout_sec = 7;
  SnapshotCache::Store("usable", std::move(entry));

  auto target = SnapshotCache::PollTarget();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->control_plane_url, "https://cp");
  EXPECT_EQ(target->session_token.view(), "token-1");
  EXPECT_EQ(target->tls.encrypt, zv::kEncryptStrict);
  EXPECT_EQ(target->tls.ca_bundle, "/etc/ca.pem");
  EXPECT_EQ(target->tls.client_cert, "/etc/client.pem");
  EXPECT_EQ(target->options.proxy_url, "http://proxy:3128");
  EXPECT_EQ(target->options.proxy_pass.view(), "secret");
  EXPECT_EQ(target->options.connect_timeout_sec, 7);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(SnapshotPoller, AFailedThreadStartIsLoggedAndRetriedLater) {
  SnapshotCache::Clear();  // the poller then has nothing to poll
  const std::string path =
      ::testing::TempDir() + "zv_poller_start_" + std::to_string(::getpid()) + ".log";
  zv::zv_log_configure(path.c_str(), zv::kLogInfo);
  zv::SnapshotPollerFailNextStartForTesting();
  EXPECT_FALSE(zv::zv_snapshot_poller_start());
  EXPECT_TRUE(zv::zv_snapshot_poller_start());
  EXPECT_TRUE(zv::zv_snapshot_poller_start()) << "one thread per process";
  zv::zv_log_configure(nullptr, zv::kLogOff);
  const std::string log = ReadFile(path);
  std::remove(path.c_str());
  EXPECT_NE(log.find("[ERROR] [snapshot_poller] thread start failed: "), std::string::npos) << log;
  const std::string started = "[snapshot_poller] started (interval=60s, ";
  const size_t first = log.find(started);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(started, first + started.size()), std::string::npos) << log;
}

}  // namespace
