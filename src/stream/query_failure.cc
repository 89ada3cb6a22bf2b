#include "stream/query_failure.h"

#include "stream/error_classification.h"
#include "util/failure.h"

namespace zv {

arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code, std::string_view known_sqlstate) {
  std::string sqlstate;
  if (zv_is_wellformed_sqlstate(server_sqlstate)) {
    sqlstate = server_sqlstate;
  } else if (!known_sqlstate.empty()) {
    sqlstate = known_sqlstate;
  } else {
    sqlstate = zv_classify_transport_message(message);
  }
  return ServerStatementFailure(message, std::move(sqlstate), server_code);
}

arrow::Status StreamFault(std::string message, const char* sqlstate) {
  return ServerStatementFailure(std::move(message), sqlstate, {});
}

arrow::Status StatementFailureOf(const arrow::Status& status) {
  const FailureDetail* detail = FailureDetailOf(status);
  if (detail == nullptr) return ServerFailure(status.message(), {}, {});
  return ServerFailure(status.message(), detail->sqlstate(), detail->server_code());
}

}  // namespace zv
