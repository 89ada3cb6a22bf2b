/* A host's view of the driver when it only speaks ADBC 1.0.0: this library
 * exports AdbcDriverInit, refuses 1.1.0 (so a driver manager falls back to
 * 1.0.0) and hands 1.0.0 requests to the real driver. Tests load it in place
 * of the driver to check that 1.0.0 hosts see the 1.0.0 behaviour. */
#include <adbc.h>
#include <dlfcn.h>
#include <stddef.h>

#ifndef ZV_REAL_DRIVER
#error "ZV_REAL_DRIVER must name the driver library"
#endif

__attribute__((visibility("default"))) AdbcStatusCode AdbcDriverInit(int version, void* driver,
                                                                     struct AdbcError* error) {
  if (version != ADBC_VERSION_1_0_0) return ADBC_STATUS_NOT_IMPLEMENTED;
  static AdbcDriverInitFunc real = NULL;
  if (real == NULL) {
    void* handle = dlopen(ZV_REAL_DRIVER, RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL) return ADBC_STATUS_INTERNAL;
    real = (AdbcDriverInitFunc)dlsym(handle, "AdbcDriverInit");
    if (real == NULL) return ADBC_STATUS_INTERNAL;
  }
  return real(version, driver, error);
}
