#include "driver/adbc_status.h"

#include <memory>

#include "driver/sqlstate_status.h"
#include "stream/error_classification.h"

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

arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code) {
  std::string sqlstate = zv_is_wellformed_sqlstate(server_sqlstate)
                             ? server_sqlstate
                             : zv_classify_transport_message(message);
  const AdbcStatusCode code = StatusForSqlState(sqlstate);
  return arrow::Status(arrow::StatusCode::IOError, message,
                       std::make_shared<AdbcStatusDetail>(code, std::move(sqlstate), server_code));
}

AdbcStatusCode ReportStatus(const arrow::Status& status, AdbcError* error,
                            bool with_details) {
  if (status.ok()) return ADBC_STATUS_OK;
  const std::string& message = status.message();
  if (auto detail = std::dynamic_pointer_cast<AdbcStatusDetail>(status.detail())) {
    if (with_details) {
      const char* sqlstate = detail->classified()
                                 ? zv_classify_transport_message(message)
                                 : detail->sqlstate().c_str();
      const int32_t vendor = detail->classified() || detail->from_server() ? detail->code() : 0;
      zv_set_detailed_error(error, message.c_str(), sqlstate, vendor,
                            detail->server_code().c_str());
    } else if (detail->from_server()) {
      zv_set_server_error(error, message.c_str(), detail->sqlstate().c_str(), detail->code(),
                          detail->server_code().c_str());
    } else if (detail->classified()) {
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
