// AdbcConnectionCommit and AdbcConnectionRollback. The service runs every
// statement in its own implicit transaction and autocommit cannot be turned
// off, so there is never an open transaction to end.

#include <string>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"

namespace zv {

namespace {

AdbcStatusCode EndTransaction(const char* entry_name, AdbcConnection* connection,
                              AdbcError* error) {
  return RunEntryPoint(entry_name, error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "%s(conn=%p)", entry_name, static_cast<void*>(connection));
    if (connection == nullptr) return NullArgument(std::string(entry_name) + ": null connection");
    if (!IsConnectionInitialised(connection)) {
      return SequenceError(std::string(entry_name) + ": connection not initialised");
    }
    return Failure(FailureKind::kInvalidState, "25000",
                   std::string(entry_name) +
                       ": no transaction in progress (autocommit is on and cannot be "
                       "turned off)");
  });
}

}  // namespace

AdbcStatusCode ConnectionCommit(AdbcConnection* connection, AdbcError* error) {
  return EndTransaction("AdbcConnectionCommit", connection, error);
}

AdbcStatusCode ConnectionRollback(AdbcConnection* connection, AdbcError* error) {
  return EndTransaction("AdbcConnectionRollback", connection, error);
}

}  // namespace zv
