#include "driver/sqlstate_status.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusForSqlState, WholeStatesBeforeClassesAndIoForEverythingElse) {
  struct Case {
    const char* sqlstate;
    AdbcStatusCode status;
  } cases[] = {
      {"42S02", ADBC_STATUS_NOT_FOUND},
      {"42P01", ADBC_STATUS_NOT_FOUND},
      {"42S22", ADBC_STATUS_NOT_FOUND},
      {"42S01", ADBC_STATUS_ALREADY_EXISTS},
      {"42P07", ADBC_STATUS_ALREADY_EXISTS},
      {"42501", ADBC_STATUS_UNAUTHORIZED},
      {"42000", ADBC_STATUS_INVALID_ARGUMENT},
      {"42601", ADBC_STATUS_INVALID_ARGUMENT},
      {"57014", ADBC_STATUS_CANCELLED},
      {"HYT00", ADBC_STATUS_TIMEOUT},
      {"HYT01", ADBC_STATUS_TIMEOUT},
      {"07002", ADBC_STATUS_INVALID_ARGUMENT},
      {"0A000", ADBC_STATUS_NOT_IMPLEMENTED},
      {"08001", ADBC_STATUS_IO},
      {"08006", ADBC_STATUS_IO},
      {"22018", ADBC_STATUS_INVALID_DATA},
      {"22021", ADBC_STATUS_INVALID_DATA},
      {"23000", ADBC_STATUS_INTEGRITY},
      {"23505", ADBC_STATUS_INTEGRITY},
      {"28000", ADBC_STATUS_UNAUTHENTICATED},
      {"HY000", ADBC_STATUS_IO},
      {"53100", ADBC_STATUS_IO},
      {"HY001", ADBC_STATUS_INTERNAL},
      {"HYC00", ADBC_STATUS_NOT_IMPLEMENTED},
      // Not a SQLSTATE at all: nothing matches by accident of a prefix.
      {"", ADBC_STATUS_IO},
      {"42", ADBC_STATUS_IO},
      {"4", ADBC_STATUS_IO},
      {"420000", ADBC_STATUS_IO},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::StatusForSqlState(c.sqlstate), c.status) << c.sqlstate;
  }
}

}  // namespace
