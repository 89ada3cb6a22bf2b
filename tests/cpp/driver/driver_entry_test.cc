#include <cstring>
#include <memory>
#include <vector>

#include "driver/adbc_test_util.h"

extern "C" AdbcStatusCode AdbcDriverInit(int version, void* raw_driver, AdbcError* error);

namespace {

using zv::testing::ScopedError;

// Every function pointer of the 1.1.0 table, as raw words, so tests can tell
// which entries were written without naming each one.
std::vector<void*> TableWords(const AdbcDriver& driver, size_t size) {
  std::vector<void*> words(size / sizeof(void*));
  std::memcpy(words.data(), &driver, size);
  return words;
}

TEST(DriverInit, OneOneGetsTheOneZeroEntriesPlusItsOwnAndOneZeroNothingMore) {
  AdbcDriver v100{};
  AdbcDriver v110{};
  ScopedError err;
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_0_0, &v100, err.get()), err);
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_1_0, &v110, err.get()), err);

  auto a = TableWords(v100, ADBC_DRIVER_1_0_0_SIZE);
  auto b = TableWords(v110, ADBC_DRIVER_1_0_0_SIZE);
  ASSERT_EQ(a.size(), 29u);
  // The parameter schema is a 1.1 feature even though its slot is older, and
  // GetInfo reports the version the host asked for.
  EXPECT_NE(v110.StatementGetParameterSchema, nullptr);
  EXPECT_NE(v110.ConnectionGetInfo, v100.ConnectionGetInfo);
  v110.StatementGetParameterSchema = nullptr;
  v110.ConnectionGetInfo = v100.ConnectionGetInfo;
  EXPECT_NE(v110.private_data, nullptr) << "marks the table as filled as 1.1.0";
  v110.private_data = nullptr;
  b = TableWords(v110, ADBC_DRIVER_1_0_0_SIZE);
  EXPECT_EQ(a, b);

  EXPECT_EQ(v100.private_data, nullptr);
  EXPECT_EQ(v100.private_manager, nullptr);
  EXPECT_NE(v100.DatabaseNew, nullptr);
  EXPECT_NE(v100.StatementBindStream, nullptr);
  EXPECT_NE(v100.ConnectionCommit, nullptr);
  EXPECT_NE(v100.ConnectionRollback, nullptr);
  EXPECT_EQ(v100.ConnectionReadPartition, nullptr);
  EXPECT_EQ(v100.StatementExecutePartitions, nullptr);
  EXPECT_EQ(v100.StatementGetParameterSchema, nullptr);
  EXPECT_EQ(v100.StatementSetSubstraitPlan, nullptr);

  // Every 1.1.0 entry is this driver's own, so hosts never call a null one.
  auto full = TableWords(v110, ADBC_DRIVER_1_1_0_SIZE);
  ASSERT_EQ(full.size(), 58u);
  for (size_t i = 29; i < full.size(); ++i) EXPECT_NE(full[i], nullptr) << "1.1.0 entry " << i;
}

TEST(DriverInit, OverwritesStaleEntriesOfAReusedTable) {
  AdbcDriver driver;
  std::memset(&driver, 0xAB, sizeof(driver));
  ScopedError err;
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_0_0, &driver, err.get()), err);
  EXPECT_EQ(driver.ConnectionReadPartition, nullptr);
  EXPECT_EQ(driver.StatementGetParameterSchema, nullptr);
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_1_0, &driver, err.get()), err);
  EXPECT_EQ(driver.ConnectionReadPartition, nullptr);
  EXPECT_EQ(driver.StatementSetSubstraitPlan, nullptr);
}

TEST(DriverInit, ReleaseOfAOneOneTableClearsAllOfIt) {
  AdbcDriver driver{};
  ScopedError err;
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_1_0, &driver, err.get()), err);
  EXPECT_EQ(ADBC_STATUS_OK, driver.release(&driver, err.get()));
  for (void* word : TableWords(driver, ADBC_DRIVER_1_1_0_SIZE)) EXPECT_EQ(word, nullptr);
}

TEST(DriverInit, RejectsOtherVersionsWithTheVersionInTheMessage) {
  AdbcDriver driver{};
  ScopedError err;
  EXPECT_EQ(ADBC_STATUS_NOT_IMPLEMENTED, AdbcDriverInit(1002000, &driver, err.get()));
  EXPECT_EQ(err.message(),
            "AdbcDriverInit: unsupported ADBC version 1002000 (this driver implements 1.0.0)");
  EXPECT_EQ(err.sqlstate(), "HY000");
  EXPECT_EQ(err.error.vendor_code, 0);
  EXPECT_EQ(driver.DatabaseNew, nullptr);
}

TEST(DriverInit, NullTableIsAnInvalidArgumentWithOrWithoutAnErrorRecord) {
  ScopedError err;
  EXPECT_EQ(ADBC_STATUS_INVALID_ARGUMENT, AdbcDriverInit(ADBC_VERSION_1_0_0, nullptr, err.get()));
  EXPECT_EQ(err.message(), "AdbcDriverInit: driver pointer is null");
  EXPECT_EQ(err.sqlstate(), "HY009");
  EXPECT_EQ(ADBC_STATUS_INVALID_ARGUMENT, AdbcDriverInit(ADBC_VERSION_1_0_0, nullptr, nullptr));
}

TEST(DriverInit, ReleaseClearsOnlyTheOneZeroPartOfTheTable) {
  AdbcDriver driver;
  std::memset(&driver, 0, sizeof(driver));
  ScopedError err;
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_0_0, &driver, err.get()), err);
  // A 1.0.0 host's table ends where the 1.1.0 entries begin; anything past it
  // belongs to the host and must survive the release.
  auto sentinel = reinterpret_cast<decltype(driver.ErrorGetDetailCount)>(0x1234);
  driver.ErrorGetDetailCount = sentinel;
  EXPECT_EQ(ADBC_STATUS_OK, driver.release(&driver, err.get()));
  EXPECT_EQ(driver.DatabaseNew, nullptr);
  EXPECT_EQ(driver.release, nullptr);
  EXPECT_EQ(driver.ErrorGetDetailCount, sentinel);

  // A table of exactly the 1.0.0 size, as such a host allocates it: the
  // release reads nothing past it either (the address sanitizer build sees).
  auto exact = std::make_unique<unsigned char[]>(ADBC_DRIVER_1_0_0_SIZE);
  auto* small = reinterpret_cast<AdbcDriver*>(exact.get());
  ASSERT_ADBC_OK(AdbcDriverInit(ADBC_VERSION_1_0_0, small, err.get()), err);
  EXPECT_EQ(ADBC_STATUS_OK, small->release(small, err.get()));
  EXPECT_EQ(small->DatabaseNew, nullptr);
}

}  // namespace
