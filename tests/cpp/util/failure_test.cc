#include "util/failure.h"

#include <gtest/gtest.h>

namespace {

using zv::FailureKind;
using zv::SqlStateRules;

// The one table from a server's SQLSTATE to what the host is told, for a
// statement and for a load: whole states before classes, the same class
// verdicts on both paths, the ingest service's own verdicts for the few
// states it documents, and I/O for everything else (HY000 for a load).
TEST(ClassifySqlState, OneTableForStatementsAndLoads) {
  struct Case {
    const char* sqlstate;
    FailureKind statement;
    FailureKind ingest;
    const char* ingest_reports;  // the statement path always reports the state itself
  } cases[] = {
      {"42S02", FailureKind::kNotFound, FailureKind::kNotFound, "42S02"},
      {"42P01", FailureKind::kNotFound, FailureKind::kNotFound, "42P01"},
      {"42S22", FailureKind::kNotFound, FailureKind::kNotFound, "42S22"},
      {"42S01", FailureKind::kAlreadyExists, FailureKind::kAlreadyExists, "42S01"},
      {"42P07", FailureKind::kAlreadyExists, FailureKind::kAlreadyExists, "42P07"},
      {"42S21", FailureKind::kInvalidArgument, FailureKind::kInvalidArgument, "42S21"},
      {"42501", FailureKind::kUnauthorized, FailureKind::kUnauthorized, "42501"},
      {"42000", FailureKind::kInvalidArgument, FailureKind::kInvalidArgument, "42000"},
      {"42601", FailureKind::kInvalidArgument, FailureKind::kInvalidArgument, "42601"},
      {"57014", FailureKind::kCancelled, FailureKind::kCancelled, "57014"},
      {"HYT00", FailureKind::kTimeout, FailureKind::kTimeout, "HYT00"},
      {"HYT01", FailureKind::kTimeout, FailureKind::kTimeout, "HYT01"},
      {"07002", FailureKind::kInvalidArgument, FailureKind::kInvalidArgument, "07002"},
      {"0A000", FailureKind::kNotImplemented, FailureKind::kNotImplemented, "0A000"},
      {"08001", FailureKind::kIo, FailureKind::kIo, "08001"},
      {"08006", FailureKind::kIo, FailureKind::kIo, "08006"},
      {"08P01", FailureKind::kIo, FailureKind::kIo, "08P01"},
      {"22018", FailureKind::kInvalidData, FailureKind::kInvalidData, "22018"},
      {"22023", FailureKind::kInvalidData, FailureKind::kInvalidData, "22023"},
      {"22021", FailureKind::kInvalidData, FailureKind::kInvalidData, "22021"},
      {"23000", FailureKind::kIntegrity, FailureKind::kIntegrity, "23000"},
      {"23505", FailureKind::kIntegrity, FailureKind::kIntegrity, "23505"},
      {"HY001", FailureKind::kInternal, FailureKind::kInternal, "HY001"},
      {"HYC00", FailureKind::kNotImplemented, FailureKind::kNotImplemented, "HYC00"},
      // The ingest service's own verdicts.
      {"28000", FailureKind::kUnauthenticated, FailureKind::kUnauthorized, "28000"},
      {"53000", FailureKind::kIo, FailureKind::kInternal, "53000"},
      {"53400", FailureKind::kIo, FailureKind::kInternal, "53400"},
      {"58000", FailureKind::kIo, FailureKind::kInternal, "58000"},
      {"40001", FailureKind::kIo, FailureKind::kIo, "40001"},
      {"58030", FailureKind::kIo, FailureKind::kIo, "58030"},
      // Listed by nobody.
      {"HY000", FailureKind::kIo, FailureKind::kIo, "HY000"},
      {"53100", FailureKind::kIo, FailureKind::kIo, "HY000"},
      {"XX999", FailureKind::kIo, FailureKind::kIo, "HY000"},
      // Not a SQLSTATE at all: nothing matches by accident of a prefix.
      {"", FailureKind::kIo, FailureKind::kIo, "HY000"},
      {"42", FailureKind::kIo, FailureKind::kIo, "HY000"},
      {"4", FailureKind::kIo, FailureKind::kIo, "HY000"},
      {"420000", FailureKind::kIo, FailureKind::kIo, "HY000"},
  };
  for (const auto& c : cases) {
    const zv::SqlStateVerdict statement =
        zv::ClassifySqlState(c.sqlstate, SqlStateRules::kStatement);
    EXPECT_EQ(statement.kind, c.statement) << c.sqlstate;
    EXPECT_EQ(statement.sqlstate, c.sqlstate) << c.sqlstate;
    const zv::SqlStateVerdict ingest = zv::ClassifySqlState(c.sqlstate, SqlStateRules::kIngest);
    EXPECT_EQ(ingest.kind, c.ingest) << c.sqlstate;
    EXPECT_EQ(ingest.sqlstate, c.ingest_reports) << c.sqlstate;
  }
}

}  // namespace
