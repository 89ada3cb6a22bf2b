#pragma once

#include <adbc.h>
#include <arrow/status.h>

#include <exception>
#include <new>
#include <string>

#include "driver/error.h"
#include "util/failure.h"

namespace zv {

// The ADBC status code a host is told for a failure kind.
AdbcStatusCode AdbcStatusFor(FailureKind kind);

// Fills `error` from `status` and returns the ADBC status code. Plain Arrow
// failures map to INTERNAL/HY000 (out of memory: HY001, not implemented: 2,
// I/O: 10 with a classified SQLSTATE).
// With `with_details`, a record marked for ADBC 1.1 private data also gets
// error details (zv_set_detailed_error).
AdbcStatusCode ReportStatus(const arrow::Status& status, AdbcError* error,
                            bool with_details = false);

// Runs the body of an entry point and turns its outcome into an ADBC status,
// so that no exception crosses the library boundary.
template <typename Body>
AdbcStatusCode RunEntryPoint(const char* entry_name, AdbcError* error, Body&& body) noexcept {
  try {
    return ReportStatus(body(), error);
  } catch (const std::bad_alloc&) {
    std::string message = std::string(entry_name) + ": out of memory";
    zv_set_error(error, message.c_str(), "HY001");
    return ADBC_STATUS_INTERNAL;
  } catch (const std::exception& e) {
    try {
      std::string message = std::string(entry_name) + ": internal error: " + e.what();
      zv_set_error(error, message.c_str(), "HY000");
    } catch (...) {
      zv_set_error(error, entry_name, "HY000");
    }
    return ADBC_STATUS_INTERNAL;
  } catch (...) {
    zv_set_error(error, entry_name, "HY000");
    return ADBC_STATUS_INTERNAL;
  }
}

}  // namespace zv
