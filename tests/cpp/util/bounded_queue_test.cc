#include "util/bounded_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

namespace {

using Queue = zv::BoundedQueue<std::string>;

TEST(BoundedQueue, AdmitsWithinBothBoundsAndOneOversizedItemIntoAnEmptyQueue) {
  struct Case {
    const char* name;
    uint64_t max_items, max_bytes;
    std::vector<uint64_t> queued;  // bytes of the items already queued
    uint64_t next;
    bool admitted;
  } cases[] = {
      {"unbounded", 0, 0, {1, 2, 3}, 100, true},
      {"below the item bound", 2, 0, {1}, 1, true},
      {"at the item bound", 2, 0, {1, 1}, 1, false},
      {"within the byte budget", 0, 10, {4}, 6, true},
      {"over the byte budget", 0, 10, {4}, 7, false},
      {"oversized into an empty queue", 0, 10, {}, 50, true},
      {"both bounds, bytes refuse", 5, 10, {9}, 2, false},
      {"both bounds, items refuse", 1, 10, {1}, 1, false},
  };
  for (const Case& c : cases) {
    Queue queue(c.max_items, c.max_bytes);
    auto lock = queue.Acquire();
    for (uint64_t bytes : c.queued) queue.Push("x", bytes);
    EXPECT_EQ(queue.Admits(c.next), c.admitted) << c.name;
  }
}

TEST(BoundedQueue, PoppingReleasesTheBytesItWasCharged) {
  Queue queue(0, 10);
  auto lock = queue.Acquire();
  queue.Push("a", 6);
  queue.Push("b", 4);
  EXPECT_FALSE(queue.Admits(1));
  EXPECT_EQ(queue.Pop(), "a");
  EXPECT_TRUE(queue.Admits(6));
  EXPECT_FALSE(queue.Admits(7));
  queue.Clear();
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(queue.Admits(10));
}

TEST(BoundedQueue, AWaitingProducerEndsWhenItsStopConditionHolds) {
  Queue queue(1, 0);
  bool stopped = false;
  {
    auto lock = queue.Acquire();
    queue.Push("full");
  }
  auto producer = std::async(std::launch::async, [&] {
    auto lock = queue.Acquire();
    return queue.WaitForSpace(lock, 0, [&] { return stopped; });
  });
  {
    std::lock_guard<std::mutex> lock(queue.mutex());
    stopped = true;
  }
  queue.NotifyAll();
  EXPECT_FALSE(producer.get()) << "a stopped producer must not push";
}

}  // namespace
