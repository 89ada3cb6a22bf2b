#pragma once

#include <adbc.h>

#include <string_view>

namespace zv {

// The ADBC status that tells a host what kind of failure a SQLSTATE names, so
// that DB-API hosts raise the matching exception class (a syntax error is the
// caller's mistake, a lost connection is not). Pure; unknown states are I/O
// failures, as every server or transport failure used to be.
AdbcStatusCode StatusForSqlState(std::string_view sqlstate);

}  // namespace zv
