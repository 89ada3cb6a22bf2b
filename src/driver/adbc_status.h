#pragma once

#include <adbc.h>
#include <arrow/status.h>

#include <exception>
#include <new>
#include <string>

#include "driver/error.h"

namespace zv {

// Carries the ADBC status code and SQLSTATE of a failure through
// arrow::Status, so code below the entry points returns Status/Result and the
// ADBC error is filled in exactly one place, at the boundary.
class AdbcStatusDetail : public arrow::StatusDetail {
 public:
  AdbcStatusDetail(AdbcStatusCode code, const char* sqlstate, bool classified)
      : code_(code), sqlstate_(sqlstate), classified_(classified) {}
  // A failure a server described, with its SQLSTATE already decided.
  AdbcStatusDetail(AdbcStatusCode code, std::string sqlstate, std::string server_code)
      : code_(code),
        sqlstate_(std::move(sqlstate)),
        classified_(false),
        server_(true),
        server_code_(std::move(server_code)) {}

  const char* type_id() const override;
  std::string ToString() const override;

  AdbcStatusCode code() const { return code_; }
  const std::string& sqlstate() const { return sqlstate_; }
  // The SQLSTATE is derived from the message text and the vendor code is the
  // status (errors that come from the transport or a server).
  bool classified() const { return classified_; }
  // Reported with the status as vendor code and the server's own code as an
  // error detail.
  bool from_server() const { return server_; }
  const std::string& server_code() const { return server_code_; }

 private:
  AdbcStatusCode code_;
  std::string sqlstate_;
  bool classified_;
  bool server_ = false;
  std::string server_code_;
};

// A failure the driver detects itself, with its own message and SQLSTATE.
arrow::Status AdbcFailure(AdbcStatusCode code, const char* sqlstate, std::string message);

// A failure reported as text by the transport or a server.
arrow::Status TransportFailure(AdbcStatusCode code, std::string message);

// A failure reported by a server or the transport while running a statement:
// the server's SQLSTATE when it sent a well-formed one, else one classified
// from the text; the status follows from the SQLSTATE.
arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code);

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

// Shorthands for the SQLSTATE/status pairs the handles use everywhere.
inline arrow::Status NullArgument(std::string message) {
  return AdbcFailure(ADBC_STATUS_INVALID_ARGUMENT, "HY009", std::move(message));
}
inline arrow::Status InvalidOptionValue(std::string message) {
  return AdbcFailure(ADBC_STATUS_INVALID_ARGUMENT, "HY009", std::move(message));
}
inline arrow::Status SequenceError(std::string message) {
  return AdbcFailure(ADBC_STATUS_INVALID_STATE, "HY010", std::move(message));
}
inline arrow::Status OutOfMemory(std::string message) {
  return AdbcFailure(ADBC_STATUS_INTERNAL, "HY001", std::move(message));
}
inline arrow::Status UnknownOptionKey(std::string message) {
  return AdbcFailure(ADBC_STATUS_NOT_IMPLEMENTED, "HYC00", std::move(message));
}

}  // namespace zv
