#include "driver/error.h"

#include <cstring>

#include "driver/adbc_status.h"
#include "driver/adbc_test_util.h"
#include "stream/error_classification.h"
#include "transport/http_client.h"

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
  zv::zv_set_error(err.get(), "first", "HY009");
  EXPECT_EQ(g_foreign_releases, 1);
  zv::zv_set_error(err.get(), "second", "HY010");
  EXPECT_EQ(err.message(), "second");
  EXPECT_EQ(err.sqlstate(), "HY010");
  EXPECT_EQ(err.error.vendor_code, 0);
  EXPECT_EQ(err.error.release, &zv::zv_error_release);
}

TEST(SetError, NullRecordIsIgnored) {
  zv::zv_set_error(nullptr, "x", "HY000");
  zv::zv_set_classified_error(nullptr, "x", ADBC_STATUS_IO);
}

TEST(SetError, ReleaseClearsEveryMember) {
  ScopedError err;
  zv::zv_set_error(err.get(), "boom", "HY000");
  zv::zv_error_release(err.get());
  EXPECT_EQ(err.error.message, nullptr);
  EXPECT_EQ(err.error.release, nullptr);
  EXPECT_EQ(err.error.vendor_code, 0);
  EXPECT_EQ(std::string(err.error.sqlstate, 5), std::string(5, '\0'));
  zv::zv_error_release(nullptr);
}

TEST(SetClassifiedError, ClassifiesTheTextAndUsesTheStatusAsVendorCode) {
  ScopedError err;
  zv::zv_set_classified_error(err.get(), "login failed: HTTP 401 Unauthorized", ADBC_STATUS_IO);
  EXPECT_EQ(err.sqlstate(), "28000");
  EXPECT_EQ(err.error.vendor_code, ADBC_STATUS_IO);

  zv::zv_set_classified_error(err.get(), "", ADBC_STATUS_NOT_FOUND);
  EXPECT_EQ(err.message(), zv::kNoTransportMessage);
  EXPECT_EQ(err.sqlstate(), "HY000");
  EXPECT_EQ(err.error.vendor_code, ADBC_STATUS_NOT_FOUND);

  zv::zv_set_classified_error(err.get(), nullptr, ADBC_STATUS_IO);
  EXPECT_EQ(err.message(), zv::kNoTransportMessage);
}

// A record as an ADBC 1.1 host hands it in (ADBC_ERROR_INIT).
zv::testing::ScopedError ExtendedRecord() {
  zv::testing::ScopedError err;
  err.error.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  return err;
}

std::string DetailValue(const AdbcError* error, const std::string& key) {
  for (int i = 0; i < zv::zv_error_get_detail_count(error); ++i) {
    AdbcErrorDetail detail = zv::zv_error_get_detail(error, i);
    if (key == detail.key) {
      return std::string(reinterpret_cast<const char*>(detail.value), detail.value_length);
    }
  }
  return "(absent)";
}

TEST(ErrorDetails, DetailedErrorOffersStateMessageVendorAndServerCode) {
  auto err = ExtendedRecord();
  zv::zv_set_detailed_error(err.get(), "Catalog Error: t", "42S02", ADBC_STATUS_NOT_FOUND,
                            "CatalogException");
  EXPECT_EQ(err.error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
  EXPECT_EQ(err.sqlstate(), "42S02");
  EXPECT_EQ(err.message(), "Catalog Error: t");
  EXPECT_EQ(zv::zv_error_get_detail_count(err.get()), 4);
  EXPECT_EQ(DetailValue(err.get(), "adbc.zorvane.sqlstate"), "42S02");
  EXPECT_EQ(DetailValue(err.get(), "adbc.zorvane.message"), "Catalog Error: t");
  EXPECT_EQ(DetailValue(err.get(), "adbc.zorvane.vendor_code"), "3");
  EXPECT_EQ(DetailValue(err.get(), "adbc.zorvane.error_code"), "CatalogException");
  AdbcErrorDetail past_end = zv::zv_error_get_detail(err.get(), 4);
  EXPECT_EQ(past_end.key, nullptr);
  EXPECT_EQ(zv::zv_error_get_detail(err.get(), -1).key, nullptr);

  // Reusing the record: the earlier details are freed (no leak under the
  // sanitizer) and the record stays marked for details.
  zv::zv_set_detailed_error(err.get(), "second", "HY009", 0, nullptr);
  EXPECT_EQ(err.error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
  EXPECT_EQ(zv::zv_error_get_detail_count(err.get()), 2);
  EXPECT_EQ(DetailValue(err.get(), "adbc.zorvane.error_code"), "(absent)");
  zv::zv_error_release(err.get());
  EXPECT_EQ(err.error.private_data, nullptr);
  EXPECT_EQ(err.error.vendor_code, ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA);
}

TEST(ErrorDetails, EntryPointErrorsKeepTheirVendorCodeAndHaveNone) {
  // Entry points keep the vendor code even for a record marked for details.
  auto marked = ExtendedRecord();
  zv::zv_set_server_error(marked.get(), "m", "42000", ADBC_STATUS_INVALID_ARGUMENT, "X");
  EXPECT_EQ(marked.error.vendor_code, ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(zv::zv_error_get_detail_count(marked.get()), 0);
  zv::testing::ScopedError plain;
  zv::zv_set_detailed_error(plain.get(), "m", "42000", ADBC_STATUS_INVALID_ARGUMENT, "X");
  EXPECT_EQ(plain.error.vendor_code, ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(zv::zv_error_get_detail_count(plain.get()), 0);

  AdbcError foreign{};
  foreign.vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  EXPECT_EQ(zv::zv_error_get_detail_count(&foreign), 0);
  EXPECT_EQ(zv::zv_error_get_detail(&foreign, 0).key, nullptr);
}

}  // namespace

namespace {

// The host is told the SQLSTATE known where a failure happened, whatever
// words its text uses; only a text that came with none is read for phrases.
TEST(ReportStatus, NeverReclassifiesAKnownSqlState) {
  auto refused_login = [](long http_status, const char* text) {
    return zv::AsFailureOf(zv::FailureKind::kIo,
                           zv::WithHttpStatus(arrow::Status::IOError(text), http_status));
  };
  struct Case {
    const char* name;
    arrow::Status status;
    AdbcStatusCode code;
    const char* sqlstate;
  } cases[] = {
      {"a login refused with 403 whose text says timeout",
       refused_login(403, "control plane auth failed (HTTP 403): session timeout"), ADBC_STATUS_IO,
       "42501"},
      {"a login refused with 401 whose text says Forbidden",
       refused_login(401, "control plane auth failed (HTTP 401): Forbidden"), ADBC_STATUS_IO,
       "28000"},
      {"a server's SQLSTATE beats the words of its text",
       zv::ServerStatementFailure("syntax error: timed out", "42S02", ""), ADBC_STATUS_NOT_FOUND,
       "42S02"},
      {"a transport text with no code", zv::ClassifiedFailure(zv::FailureKind::kIo, "read timeout"),
       ADBC_STATUS_IO, "HYT00"},
      {"an I/O status with no detail", arrow::Status::IOError("DNS lookup failed"), ADBC_STATUS_IO,
       "08001"},
  };
  for (const auto& c : cases) {
    ScopedError err;
    EXPECT_EQ(zv::ReportStatus(c.status, err.get()), c.code) << c.name;
    EXPECT_EQ(err.sqlstate(), c.sqlstate) << c.name;
    EXPECT_EQ(err.error.vendor_code, c.code) << c.name;
  }
}

}  // namespace
