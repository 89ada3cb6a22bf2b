#include "driver/adbc_status.h"

#include <memory>

namespace zv {

const char* AdbcStatusDetail::type_id() const { return "zv::AdbcStatusDetail"; }

std::string AdbcStatusDetail::ToString() const {
  return "ADBC status " + std::to_string(code_) + ", SQLSTATE " + sqlstate_;
}

arrow::Status AdbcFailure(AdbcStatusCode code, const char* sqlstate, std::string message) {
  return arrow::Status(arrow::StatusCode::UnknownError, std::move(message),
                       std::make_shared<AdbcStatusDetail>(code, sqlstate, false));
}

arrow::Status TransportFailure(AdbcStatusCode code, std::string message) {
  return arrow::Status(arrow::StatusCode::IOError, std::move(message),
                       std::make_shared<AdbcStatusDetail>(code, "", true));
}

AdbcStatusCode ReportStatus(const arrow::Status& status, AdbcError* error) {
  if (status.ok()) return ADBC_STATUS_OK;
  const std::string& message = status.message();
  if (auto detail = std::dynamic_pointer_cast<AdbcStatusDetail>(status.detail())) {
    if (detail->classified()) {
      zv_set_classified_error(error, message.c_str(), detail->code());
    } else {
      zv_set_error(error, message.c_str(), detail->sqlstate().c_str());
    }
    return detail->code();
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
    default:
      zv_set_error(error, message.c_str(), "HY000");
      return ADBC_STATUS_INTERNAL;
  }
}

}  // namespace zv
