// A compute query's failure as the host sees it, wherever the driver runs one.
#pragma once

#include <arrow/status.h>

#include <string>

#include "stream/query.h"

namespace zv {

// A failure reported by a server or the transport while running a statement:
// the server's SQLSTATE when it sent a well-formed one, else one classified
// from the text; the status follows from the SQLSTATE.
arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code);

// The query's failure with the server's SQLSTATE and vendor code, and a
// status that says what kind of failure it was (a missing table is
// NOT_FOUND, a syntax error INVALID_ARGUMENT, a lost connection IO).
inline arrow::Status QueryFailure(ZVQuery* query) {
  QueryErrorInfo info = query->ErrorInfo();
  return ServerFailure(info.message, info.sqlstate, info.code);
}

}  // namespace zv
