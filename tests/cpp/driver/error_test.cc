#include "driver/error.h"

#include <cstring>

#include "driver/adbc_test_util.h"
#include "stream/error_classification.h"

namespace {

using zv::testing::ScopedError;

int g_foreign_releases = 0;
void ForeignRelease(AdbcError* error) {
  ++g_foreign_releases;
  error->release = nullptr;
}

TEST(SetError, ReleasesAnEarlierMessageBeforeOverwritingIt) {
  ScopedError err;
  err.error.release = ForeignRelease;
  g_foreign_releases = 0;
  zv_set_error(err.get(), "first", "HY009");
  EXPECT_EQ(g_foreign_releases, 1);
  zv_set_error(err.get(), "second", "HY010");
  EXPECT_EQ(err.message(), "second");
  EXPECT_EQ(err.sqlstate(), "HY010");
  EXPECT_EQ(err.error.vendor_code, 0);
  EXPECT_EQ(err.error.release, &zv_error_release);
}

TEST(SetError, NullRecordIsIgnored) {
  zv_set_error(nullptr, "x", "HY000");
  zv_set_classified_error(nullptr, "x", ADBC_STATUS_IO);
}

TEST(SetError, ReleaseClearsEveryMember) {
  ScopedError err;
  zv_set_error(err.get(), "boom", "HY000");
  zv_error_release(err.get());
  EXPECT_EQ(err.error.message, nullptr);
  EXPECT_EQ(err.error.release, nullptr);
  EXPECT_EQ(err.error.vendor_code, 0);
  EXPECT_EQ(std::string(err.error.sqlstate, 5), std::string(5, '\0'));
  zv_error_release(nullptr);
}

TEST(SetClassifiedError, ClassifiesTheTextAndUsesTheStatusAsVendorCode) {
  ScopedError err;
  zv_set_classified_error(err.get(), "login failed: HTTP 401 Unauthorized", ADBC_STATUS_IO);
  EXPECT_EQ(err.sqlstate(), "28000");
  EXPECT_EQ(err.error.vendor_code, ADBC_STATUS_IO);

  zv_set_classified_error(err.get(), "", ADBC_STATUS_NOT_FOUND);
  EXPECT_EQ(err.message(), kNoTransportMessage);
  EXPECT_EQ(err.sqlstate(), "HY000");
  EXPECT_EQ(err.error.vendor_code, ADBC_STATUS_NOT_FOUND);

  zv_set_classified_error(err.get(), nullptr, ADBC_STATUS_IO);
  EXPECT_EQ(err.message(), kNoTransportMessage);
}

}  // namespace
