#include "driver/sqlstate_status.h"

namespace zv {

namespace {

struct SqlStateRule {
  std::string_view prefix;  // a whole SQLSTATE or its two-character class
  AdbcStatusCode status;
};

// Whole states first, then classes: the first rule whose prefix starts the
// state decides.
constexpr SqlStateRule kRules[] = {
    {"42S02", ADBC_STATUS_NOT_FOUND},       // table not found
    {"42P01", ADBC_STATUS_NOT_FOUND},       // undefined table
    {"42S22", ADBC_STATUS_NOT_FOUND},       // column not found
    {"42S01", ADBC_STATUS_ALREADY_EXISTS},  // table already exists
    {"42P07", ADBC_STATUS_ALREADY_EXISTS},  // duplicate table
    {"42501", ADBC_STATUS_UNAUTHORIZED},    // insufficient privilege
    {"57014", ADBC_STATUS_CANCELLED},       // query cancelled
    {"HYT00", ADBC_STATUS_TIMEOUT},
    {"HYT01", ADBC_STATUS_TIMEOUT},
    {"HY009", ADBC_STATUS_INVALID_ARGUMENT},
    {"HY010", ADBC_STATUS_INVALID_STATE},
    {"HY001", ADBC_STATUS_INTERNAL},
    {"HYC00", ADBC_STATUS_NOT_IMPLEMENTED},
    {"07", ADBC_STATUS_INVALID_ARGUMENT},   // dynamic SQL error (parameter counts)
    {"0A", ADBC_STATUS_NOT_IMPLEMENTED},    // feature not supported
    {"08", ADBC_STATUS_IO},                 // connection exception
    {"22", ADBC_STATUS_INVALID_DATA},       // data exception
    {"23", ADBC_STATUS_INTEGRITY},          // integrity constraint violation
    {"28", ADBC_STATUS_UNAUTHENTICATED},    // invalid authorisation
    {"42", ADBC_STATUS_INVALID_ARGUMENT},   // syntax error or access rule violation
};

}  // namespace

AdbcStatusCode StatusForSqlState(std::string_view sqlstate) {
  if (sqlstate.size() != 5) return ADBC_STATUS_IO;
  for (const auto& rule : kRules) {
    if (sqlstate.substr(0, rule.prefix.size()) == rule.prefix) return rule.status;
  }
  return ADBC_STATUS_IO;
}

}  // namespace zv
