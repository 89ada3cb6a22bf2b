#include "driver/error.h"

#include <cstdlib>
#include <cstring>

#include "stream/error_classification.h"

namespace {

// Steps shared by both setters: release what is there, clear, copy the text.
// The message stays null when the copy cannot be allocated; the rest of the
// record is still filled by the caller.
void ResetWithMessage(AdbcError* error, const char* message) {
  if (error->release != nullptr) error->release(error);
  error->message = nullptr;
  error->vendor_code = 0;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
  if (message == nullptr) message = "";
  const size_t size = std::strlen(message) + 1;
  if (char* copy = static_cast<char*>(std::malloc(size))) {
    std::memcpy(copy, message, size);
    error->message = copy;
  }
}

void SetSqlState(AdbcError* error, const char* sqlstate) {
  std::memcpy(error->sqlstate, sqlstate, 5);
}

}  // namespace

void zv_error_release(AdbcError* error) {
  if (error == nullptr) return;
  std::free(error->message);
  error->message = nullptr;
  error->vendor_code = 0;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
}

void zv_set_error(AdbcError* error, const char* message, const char* sqlstate) {
  if (error == nullptr) return;
  ResetWithMessage(error, message);
  error->vendor_code = 0;
  SetSqlState(error, sqlstate);
  error->release = zv_error_release;
}

void zv_set_classified_error(AdbcError* error, const char* message, AdbcStatusCode status) {
  if (error == nullptr) return;
  if (message == nullptr || message[0] == '\0') message = kNoTransportMessage;
  ResetWithMessage(error, message);
  SetSqlState(error, zv_classify_transport_message(message));
  error->vendor_code = status;
  error->release = zv_error_release;
}
