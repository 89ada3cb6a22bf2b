// The library's one exported function and the driver table it fills.

#include <adbc.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "diagnostics/log.h"
#include "driver/connection.h"
#include "driver/database.h"
#include "driver/error.h"
#include "driver/statement.h"

namespace zv {
namespace {

AdbcStatusCode DriverRelease(AdbcDriver* driver, AdbcError* error) {
  // Only the 1.0.0 part of the table was ever written, and every host's table
  // has at least that part, so clearing it never writes out of bounds.
  if (driver != nullptr) std::memset(static_cast<void*>(driver), 0, ADBC_DRIVER_1_0_0_SIZE);
  return ADBC_STATUS_OK;
}

void InitialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void FillDriverTable(AdbcDriver* driver, int version) {
  // Entries left null are reported as not implemented by driver managers:
  // partitions, parameter schemas, Substrait and all of 1.1.0.
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
}

}  // namespace
}  // namespace zv

#ifdef _WIN32
#define ZV_EXPORT __declspec(dllexport)
#else
#define ZV_EXPORT __attribute__((visibility("default")))
#endif

extern "C" ZV_EXPORT AdbcStatusCode AdbcDriverInit(
    int version, void* raw_driver, AdbcError* error) {
  zv::InitialiseCurlOnce();
  ZV_LOG(zv::kLogInfo, "api", "AdbcDriverInit(version=%d, raw_driver=%p)", version, raw_driver);
  if (raw_driver == nullptr) {
    zv_set_error(error, "AdbcDriverInit: driver pointer is null", "HY009");
    return ADBC_STATUS_INVALID_ARGUMENT;
  }
  if (version != ADBC_VERSION_1_0_0 && version != ADBC_VERSION_1_1_0) {
    char message[128];
    std::snprintf(message, sizeof(message),
                  "AdbcDriverInit: unsupported ADBC version %d (this driver implements 1.0.0)",
                  version);
    zv_set_error(error, message, "HY000");
    return ADBC_STATUS_NOT_IMPLEMENTED;
  }
  zv::FillDriverTable(static_cast<AdbcDriver*>(raw_driver), version);
  return ADBC_STATUS_OK;
}
