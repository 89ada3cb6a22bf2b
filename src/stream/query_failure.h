// A compute query's failure as the host sees it, wherever the driver runs one.
// Every failure of a running statement is a server-origin failure: its
// SQLSTATE decides the status (a missing table is NOT_FOUND, a syntax error
// INVALID_ARGUMENT, a lost connection IO) and the vendor code.
#pragma once

#include <arrow/status.h>

#include <string>
#include <string_view>

#include "stream/query.h"

namespace zv {

// A failure a server described: the SQLSTATE it sent when well-formed, else
// `known_sqlstate` (what the HTTP status of its answer says), else the one
// the phrases of its text give.
arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code, std::string_view known_sqlstate = {});

// A failure the driver detected in the stream itself (a broken frame, a body
// cut short, an undecodable batch): its own SQLSTATE, never one read from
// the text.
arrow::Status StreamFault(std::string message, const char* sqlstate = "HY000");

// A failure from below (the transfer, a fresh login) as the statement's: the
// SQLSTATE its detail knows, else the one its text gives.
arrow::Status StatementFailureOf(const arrow::Status& status);

// The query's first failure (OK when it has none).
inline arrow::Status QueryFailure(ZVQuery* query) { return query->ErrorStatus(); }

}  // namespace zv
