#include "stream/query_failure.h"

#include "stream/error_classification.h"
#include "util/failure.h"

namespace zv {

arrow::Status ServerFailure(const std::string& message, const std::string& server_sqlstate,
                            const std::string& server_code) {
  std::string sqlstate = zv_is_wellformed_sqlstate(server_sqlstate)
                             ? server_sqlstate
                             : zv_classify_transport_message(message);
  return ServerStatementFailure(message, std::move(sqlstate), server_code);
}

}  // namespace zv
