#include "snapshot/snapshot_decode_internal.h"

#include <gtest/gtest.h>

#include <arrow/memory_pool.h>

#include "stream/ipc_test_streams.h"

namespace {

TEST(SnapshotDecode, EveryBatchOfTheStreamJoinedIntoOne) {
  auto first = zv_test::SampleBatch(3);
  auto second = zv_test::SampleBatch(5, 100);
  std::vector<uint8_t> bytes = zv_test::WriteIpcStream(first->schema(), {first, second});
  auto batch = zv::zv_snapshot_decode_slot(bytes.data(), bytes.size(), 2);
  ASSERT_NE(batch, nullptr);
  ASSERT_EQ(batch->num_rows(), 8);
  EXPECT_TRUE(batch->Slice(0, 3)->Equals(*first));
  EXPECT_TRUE(batch->Slice(3, 5)->Equals(*second));
  // The batch owns a copy: the receive buffer may go away.
  bytes.assign(bytes.size(), 0);
  EXPECT_TRUE(batch->Slice(0, 3)->Equals(*first));
}

TEST(SnapshotDecode, SchemaOnlyStreamGivesZeroRowsWithItsColumns) {
  auto sample = zv_test::SampleBatch(1);
  std::vector<uint8_t> bytes = zv_test::WriteIpcStream(sample->schema(), {});
  auto batch = zv::zv_snapshot_decode_slot(bytes.data(), bytes.size(), 0);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->num_rows(), 0);
  EXPECT_TRUE(batch->schema()->Equals(*sample->schema()));
  ASSERT_TRUE(batch->ValidateFull().ok());
}

TEST(SnapshotDecode, UnusableBytesGiveNullAndReleaseTheirMemory) {
  auto sample = zv_test::SampleBatch(4);
  std::vector<uint8_t> valid = zv_test::WriteIpcStream(sample->schema(), {sample});
  std::vector<uint8_t> cut(valid.begin(),
                           valid.begin() + static_cast<std::ptrdiff_t>(valid.size() / 2));
  const std::vector<uint8_t> garbage = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const int64_t before = arrow::default_memory_pool()->bytes_allocated();
  struct Case {
    const char* name;
    const uint8_t* bytes;
    size_t length;
  } cases[] = {
      {"null", nullptr, 10},
      {"empty", garbage.data(), 0},
      {"garbage", garbage.data(), garbage.size()},
      {"cut inside the batch", cut.data(), cut.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zv::zv_snapshot_decode_slot(c.bytes, c.length, 1), nullptr);
  }
  EXPECT_EQ(arrow::default_memory_pool()->bytes_allocated(), before);
}

}  // namespace
