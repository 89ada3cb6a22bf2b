#include "driver/adbc_status.h"

#include <memory>

#include "stream/error_classification.h"

namespace zv {

AdbcStatusCode AdbcStatusFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::kInvalidArgument: return ADBC_STATUS_INVALID_ARGUMENT;
    case FailureKind::kInvalidState: return ADBC_STATUS_INVALID_STATE;
    case FailureKind::kInvalidData: return ADBC_STATUS_INVALID_DATA;
    case FailureKind::kNotFound: return ADBC_STATUS_NOT_FOUND;
    case FailureKind::kAlreadyExists: return ADBC_STATUS_ALREADY_EXISTS;
    case FailureKind::kNotImplemented: return ADBC_STATUS_NOT_IMPLEMENTED;
    case FailureKind::kIntegrity: return ADBC_STATUS_INTEGRITY;
    case FailureKind::kUnauthenticated: return ADBC_STATUS_UNAUTHENTICATED;
    case FailureKind::kUnauthorized: return ADBC_STATUS_UNAUTHORIZED;
    case FailureKind::kTimeout: return ADBC_STATUS_TIMEOUT;
    case FailureKind::kCancelled: return ADBC_STATUS_CANCELLED;
    case FailureKind::kIo: return ADBC_STATUS_IO;
    case FailureKind::kInternal: return ADBC_STATUS_INTERNAL;
  }
  return ADBC_STATUS_INTERNAL;
}

AdbcStatusCode ReportStatus(const arrow::Status& status, AdbcError* error, bool with_details) {
  if (status.ok()) return ADBC_STATUS_OK;
  const std::string& message = status.message();
  if (const FailureDetail* detail = FailureDetailOf(status)) {
    const AdbcStatusCode code = AdbcStatusFor(detail->kind());
    const bool from_driver = detail->origin() == FailureDetail::Origin::kDriver;
    // The SQLSTATE known where the failure happened; only a transport or
    // server text that came with none is classified by its phrases.
    const char* sqlstate = detail->sqlstate().empty() && !from_driver
                               ? zv_classify_transport_message(message)
                               : detail->sqlstate().c_str();
    if (with_details) {
      zv_set_detailed_error(error, message.c_str(), sqlstate, from_driver ? 0 : code,
                            detail->server_code().c_str());
    } else if (from_driver) {
      zv_set_error(error, message.c_str(), sqlstate);
    } else {
      zv_set_server_error(error, message.c_str(), sqlstate, code, detail->server_code().c_str());
    }
    return code;
  }
  switch (status.code()) {
    case arrow::StatusCode::OutOfMemory:
      zv_set_error(error, message.c_str(), "HY001");
      return ADBC_STATUS_INTERNAL;
    case arrow::StatusCode::NotImplemented:
      zv_set_error(error, message.c_str(), "HY000");
      return ADBC_STATUS_NOT_IMPLEMENTED;
    case arrow::StatusCode::IOError:
      zv_set_classified_error(error, message.c_str(), ADBC_STATUS_IO);
      return ADBC_STATUS_IO;
    default: zv_set_error(error, message.c_str(), "HY000"); return ADBC_STATUS_INTERNAL;
  }
}

}  // namespace zv
