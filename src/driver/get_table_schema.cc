// AdbcConnectionGetTableSchema: a table's Arrow schema from the snapshot,
// with a LIMIT 0 query on compute when the snapshot does not know the table.

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/handle_record.h"

namespace zv {

AdbcStatusCode ConnectionGetTableSchema(AdbcConnection* connection, const char* catalog,
                                        const char* db_schema, const char* table_name,
                                        ArrowSchema* schema, AdbcError* error) {
  return RunEntryPoint("AdbcConnectionGetTableSchema", error, [&]() -> arrow::Status {
    if (connection == nullptr || schema == nullptr) {
      return NullArgument("AdbcConnectionGetTableSchema: null connection or output schema");
    }
    if (table_name == nullptr || table_name[0] == '\0') {
      return NullArgument("AdbcConnectionGetTableSchema: table_name is required");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError(
          "AdbcConnectionGetTableSchema: connection not initialised (call AdbcConnectionInit "
          "first)");
    }
    return arrow::Status::NotImplemented("AdbcConnectionGetTableSchema is not available yet");
  });
}

}  // namespace zv
