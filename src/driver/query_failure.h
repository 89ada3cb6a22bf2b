// A compute query's failure as the host sees it, wherever the driver runs one.
#pragma once

#include <arrow/status.h>

#include "driver/adbc_status.h"
#include "stream/query.h"

namespace zv {

// The query's failure with the server's SQLSTATE and vendor code, and a
// status that says what kind of failure it was (a missing table is
// NOT_FOUND, a syntax error INVALID_ARGUMENT, a lost connection IO).
inline arrow::Status QueryFailure(ZVQuery* query) {
  QueryErrorInfo info = query->ErrorInfo();
  return ServerFailure(info.message, info.sqlstate, info.code);
}

}  // namespace zv
