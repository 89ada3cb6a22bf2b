// AdbcConnectionGetObjects: the catalog tree served from the snapshot.

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/handle_record.h"

namespace zv {

AdbcStatusCode ConnectionGetObjects(AdbcConnection* connection, int depth, const char* catalog,
                                    const char* db_schema, const char* table_name,
                                    const char** table_type, const char* column_name,
                                    ArrowArrayStream* out, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetObjects", error, [&]() -> arrow::Status {
    if (connection == nullptr || out == nullptr) {
      return NullArgument("AdbcConnectionGetObjects: null connection or stream");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError("AdbcConnectionGetObjects: connection not initialised");
    }
    return arrow::Status::NotImplemented("AdbcConnectionGetObjects is not available yet");
  });
}

}  // namespace zv
