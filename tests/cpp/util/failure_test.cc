#include "util/failure.h"

#include <gtest/gtest.h>

namespace {

using zv::FailureKind;
using zv::SqlStateRules;

// The one table from a server's SQLSTATE to what the host is told, under both
// rule sets: whole states before classes, I/O for everything else, and the
// ingest rules' own verdicts (with HY000 for the states they do not list).
TEST(ClassifySqlState, StatementAndIngestRules) {
  constexpr auto kStatement = SqlStateRules::kStatement;
  constexpr auto kIngest = SqlStateRules::kIngest;
  struct Case {
    const char* sqlstate;
    SqlStateRules rules;
    FailureKind kind;
    const char* reported;
  } cases[] = {
      {"42S02", kStatement, FailureKind::kNotFound, "42S02"},
      {"42P01", kStatement, FailureKind::kNotFound, "42P01"},
      {"42S22", kStatement, FailureKind::kNotFound, "42S22"},
      {"42S01", kStatement, FailureKind::kAlreadyExists, "42S01"},
      {"42P07", kStatement, FailureKind::kAlreadyExists, "42P07"},
      {"42501", kStatement, FailureKind::kUnauthorized, "42501"},
      {"42000", kStatement, FailureKind::kInvalidArgument, "42000"},
      {"42601", kStatement, FailureKind::kInvalidArgument, "42601"},
      {"57014", kStatement, FailureKind::kCancelled, "57014"},
      {"HYT00", kStatement, FailureKind::kTimeout, "HYT00"},
      {"HYT01", kStatement, FailureKind::kTimeout, "HYT01"},
      {"07002", kStatement, FailureKind::kInvalidArgument, "07002"},
      {"0A000", kStatement, FailureKind::kNotImplemented, "0A000"},
      {"08001", kStatement, FailureKind::kIo, "08001"},
      {"08006", kStatement, FailureKind::kIo, "08006"},
      {"22018", kStatement, FailureKind::kInvalidData, "22018"},
      {"22021", kStatement, FailureKind::kInvalidData, "22021"},
      {"23000", kStatement, FailureKind::kIntegrity, "23000"},
      {"23505", kStatement, FailureKind::kIntegrity, "23505"},
      {"28000", kStatement, FailureKind::kUnauthenticated, "28000"},
      {"HY000", kStatement, FailureKind::kIo, "HY000"},
      {"53100", kStatement, FailureKind::kIo, "53100"},
      {"53400", kStatement, FailureKind::kIo, "53400"},
      {"HY001", kStatement, FailureKind::kInternal, "HY001"},
      {"HYC00", kStatement, FailureKind::kNotImplemented, "HYC00"},
      // Not a SQLSTATE at all: nothing matches by accident of a prefix.
      {"", kStatement, FailureKind::kIo, ""},
      {"42", kStatement, FailureKind::kIo, "42"},
      {"4", kStatement, FailureKind::kIo, "4"},
      {"420000", kStatement, FailureKind::kIo, "420000"},
      {"42S22", kIngest, FailureKind::kInvalidArgument, "42S22"},
      {"42S21", kIngest, FailureKind::kInvalidArgument, "42S21"},
      {"22018", kIngest, FailureKind::kInvalidArgument, "22018"},
      {"23000", kIngest, FailureKind::kIntegrity, "23000"},
      {"53400", kIngest, FailureKind::kInternal, "53400"},
      {"08006", kIngest, FailureKind::kIo, "08006"},
      {"HYT00", kIngest, FailureKind::kTimeout, "HYT00"},
      {"28000", kIngest, FailureKind::kUnauthorized, "28000"},
      {"42S02", kIngest, FailureKind::kNotFound, "42S02"},
      {"42S01", kIngest, FailureKind::kAlreadyExists, "42S01"},
      // Classes are not part of the ingest rules: unlisted states are generic.
      {"42000", kIngest, FailureKind::kIo, "HY000"},
      {"22021", kIngest, FailureKind::kIo, "HY000"},
      {"XX999", kIngest, FailureKind::kIo, "HY000"},
      {"", kIngest, FailureKind::kIo, "HY000"},
  };
  for (const auto& c : cases) {
    const zv::SqlStateVerdict verdict = zv::ClassifySqlState(c.sqlstate, c.rules);
    EXPECT_EQ(verdict.kind, c.kind) << c.sqlstate;
    EXPECT_EQ(verdict.sqlstate, c.reported) << c.sqlstate;
  }
}

}  // namespace
