// The library's one exported function and the driver table it fills.

#include <adbc.h>

#include <cstdio>
#include <cstring>

#include "diagnostics/log.h"
#include "driver/connection.h"
#include "driver/database.h"
#include "driver/error.h"
#include "driver/option_entries.h"
#include "driver/result_stream.h"
#include "driver/statement.h"
#include "transport/http_request.h"

namespace zv {
namespace {

int ErrorGetDetailCount(const AdbcError* error) { return zv_error_get_detail_count(error); }

AdbcErrorDetail ErrorGetDetail(const AdbcError* error, int index) {
  return zv_error_get_detail(error, index);
}

const AdbcError* ErrorFromArrayStream(ArrowArrayStream* stream, AdbcStatusCode* status) {
  return ResultStreamError(stream, status);
}

// What private_data of a table filled as 1.1.0 points to. A 1.0.0 host's
// table ends before the 1.1.0 entries, so only a field of the 1.0.0 part may
// say which it is.
constexpr char kOneOneTable = 1;

AdbcStatusCode DriverRelease(AdbcDriver* driver, AdbcError* error) {
  if (driver == nullptr) return ADBC_STATUS_OK;
  const bool one_one = driver->private_data == &kOneOneTable;
  std::memset(static_cast<void*>(driver), 0,
              one_one ? ADBC_DRIVER_1_1_0_SIZE : ADBC_DRIVER_1_0_0_SIZE);
  return ADBC_STATUS_OK;
}

// The entries a 1.1.0 host gets on top of the 1.0.0 ones.
void FillOneOneEntries(AdbcDriver* driver) {
  driver->ErrorGetDetailCount = ErrorGetDetailCount;
  driver->ErrorGetDetail = ErrorGetDetail;
  driver->ErrorFromArrayStream = ErrorFromArrayStream;
  driver->StatementCancel = StatementCancel;
  driver->ConnectionCancel = ConnectionCancel;
  driver->ConnectionGetInfo = ConnectionGetInfoOneOne;
  driver->StatementExecuteSchema = StatementExecuteSchema;
  driver->StatementGetParameterSchema = StatementGetParameterSchema;
  driver->ConnectionGetStatisticNames = ConnectionGetStatisticNames;
  driver->ConnectionGetStatistics = ConnectionGetStatistics;
  driver->DatabaseGetOption = TypedOptionEntries<AdbcDatabase>::GetText;
  driver->DatabaseGetOptionBytes = TypedOptionEntries<AdbcDatabase>::GetBytes;
  driver->DatabaseGetOptionInt = TypedOptionEntries<AdbcDatabase>::GetInt;
  driver->DatabaseGetOptionDouble = TypedOptionEntries<AdbcDatabase>::GetDouble;
  driver->DatabaseSetOptionBytes = TypedOptionEntries<AdbcDatabase>::SetBytes;
  driver->DatabaseSetOptionInt = TypedOptionEntries<AdbcDatabase>::SetInt;
  driver->DatabaseSetOptionDouble = TypedOptionEntries<AdbcDatabase>::SetDouble;
  driver->ConnectionGetOption = TypedOptionEntries<AdbcConnection>::GetText;
  driver->ConnectionGetOptionBytes = TypedOptionEntries<AdbcConnection>::GetBytes;
  driver->ConnectionGetOptionInt = TypedOptionEntries<AdbcConnection>::GetInt;
  driver->ConnectionGetOptionDouble = TypedOptionEntries<AdbcConnection>::GetDouble;
  driver->ConnectionSetOptionBytes = TypedOptionEntries<AdbcConnection>::SetBytes;
  driver->ConnectionSetOptionInt = TypedOptionEntries<AdbcConnection>::SetInt;
  driver->ConnectionSetOptionDouble = TypedOptionEntries<AdbcConnection>::SetDouble;
  driver->StatementGetOption = TypedOptionEntries<AdbcStatement>::GetText;
  driver->StatementGetOptionBytes = TypedOptionEntries<AdbcStatement>::GetBytes;
  driver->StatementGetOptionInt = TypedOptionEntries<AdbcStatement>::GetInt;
  driver->StatementGetOptionDouble = TypedOptionEntries<AdbcStatement>::GetDouble;
  driver->StatementSetOptionBytes = TypedOptionEntries<AdbcStatement>::SetBytes;
  driver->StatementSetOptionInt = TypedOptionEntries<AdbcStatement>::SetInt;
  driver->StatementSetOptionDouble = TypedOptionEntries<AdbcStatement>::SetDouble;
}

void FillDriverTable(AdbcDriver* driver, int version) {
  // Entries left null are reported as not implemented by driver managers:
  // partitions, Substrait (and for 1.0.0 hosts, parameter schemas).
  const size_t size =
      version == ADBC_VERSION_1_1_0 ? ADBC_DRIVER_1_1_0_SIZE : ADBC_DRIVER_1_0_0_SIZE;
  std::memset(static_cast<void*>(driver), 0, size);
  driver->release = DriverRelease;
  driver->DatabaseInit = DatabaseInit;
  driver->DatabaseNew = DatabaseNew;
  driver->DatabaseSetOption = DatabaseSetOption;
  driver->DatabaseRelease = DatabaseRelease;
  driver->ConnectionCommit = ConnectionCommit;
  driver->ConnectionRollback = ConnectionRollback;
  driver->ConnectionGetInfo = ConnectionGetInfo;
  driver->ConnectionGetObjects = ConnectionGetObjects;
  driver->ConnectionGetTableSchema = ConnectionGetTableSchema;
  driver->ConnectionGetTableTypes = ConnectionGetTableTypes;
  driver->ConnectionInit = ConnectionInit;
  driver->ConnectionNew = ConnectionNew;
  driver->ConnectionSetOption = ConnectionSetOption;
  driver->ConnectionRelease = ConnectionRelease;
  driver->StatementBind = StatementBind;
  driver->StatementBindStream = StatementBindStream;
  driver->StatementExecuteQuery = StatementExecuteQuery;
  driver->StatementNew = StatementNew;
  driver->StatementPrepare = StatementPrepare;
  driver->StatementRelease = StatementRelease;
  driver->StatementSetOption = StatementSetOption;
  driver->StatementSetSqlQuery = StatementSetSqlQuery;
  if (version == ADBC_VERSION_1_1_0) {
    driver->private_data = const_cast<char*>(&kOneOneTable);
    FillOneOneEntries(driver);
  }
}

}  // namespace
}  // namespace zv

#ifdef _WIN32
#define ZV_EXPORT __declspec(dllexport)
#else
#define ZV_EXPORT __attribute__((visibility("default")))
#endif

extern "C" ZV_EXPORT AdbcStatusCode AdbcDriverInit(int version, void* raw_driver,
                                                   AdbcError* error) {
  zv::InitialiseTransportOnce();
  ZV_LOG(zv::kLogInfo, "api", "AdbcDriverInit(version=%d, raw_driver=%p)", version, raw_driver);
  if (raw_driver == nullptr) {
    zv::zv_set_error(error, "AdbcDriverInit: driver pointer is null", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (version != ADBC_VERSION_1_0_0 && version != ADBC_VERSION_1_1_0) {
    char message[128];
    std::snprintf(message, sizeof(message),
                  "AdbcDriverInit: unsupported ADBC version %d (this driver implements 1.0.0)",
                  version);
    zv::zv_set_error(error, message, "HY000");
    return ADBC_STATUS_NOT_IMPLEMENTED;
  }
  zv::FillDriverTable(static_cast<AdbcDriver*>(raw_driver), version);
  return ADBC_STATUS_OK;
}
