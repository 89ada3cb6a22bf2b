#include "driver/error.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "stream/error_classification.h"

namespace zv {

namespace {

// What error->private_data points to in a record filled with details. The
// strings are never modified after construction, so the pointers handed out
// by zv_error_get_detail stay valid until the record is released.
struct ZVErrorDetails {
  std::vector<std::pair<std::string, std::string>> entries;
};

ZVErrorDetails* DetailsOf(const AdbcError* error) {
  if (error == nullptr || error->release != zv_error_release ||
      error->vendor_code != ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA) {
    return nullptr;
  }
  return static_cast<ZVErrorDetails*>(error->private_data);
}

// Steps shared by all setters: release what is there, clear, copy the text.
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

// Fills the record: classic members always; with details when the host asked
// for them. Details that cannot be allocated are left out.
void Fill(AdbcError* error, const char* message, const char* sqlstate, int32_t vendor_code,
          const char* server_code, bool with_details) {
  const bool details = with_details && error->vendor_code == ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  ResetWithMessage(error, message);
  SetSqlState(error, sqlstate);
  error->vendor_code = vendor_code;
  error->release = zv_error_release;
  if (!details) return;
  error->vendor_code = ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  error->private_data = nullptr;
  try {
    auto record = std::make_unique<ZVErrorDetails>();
    record->entries.emplace_back("adbc.zorvane.sqlstate", std::string(sqlstate, 5));
    record->entries.emplace_back("adbc.zorvane.message", message ? message : "");
    if (vendor_code != 0) {
      record->entries.emplace_back("adbc.zorvane.vendor_code", std::to_string(vendor_code));
    }
    if (server_code != nullptr && server_code[0] != '\0') {
      record->entries.emplace_back("adbc.zorvane.error_code", server_code);
    }
    error->private_data = record.release();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

void zv_error_release(AdbcError* error) {
  if (error == nullptr) return;
  const bool extended = error->vendor_code == ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA;
  if (extended) {
    delete static_cast<ZVErrorDetails*>(error->private_data);
    error->private_data = nullptr;
  }
  std::free(error->message);
  error->message = nullptr;
  // A record the host marked as 1.1-sized stays marked, so reusing it for
  // the next call still offers details.
  error->vendor_code = extended ? ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA : 0;
  std::memset(error->sqlstate, 0, sizeof(error->sqlstate));
  error->release = nullptr;
}

void zv_set_error(AdbcError* error, const char* message, const char* sqlstate) {
  if (error == nullptr) return;
  Fill(error, message, sqlstate, 0, nullptr, false);
}

void zv_set_classified_error(AdbcError* error, const char* message, AdbcStatusCode status) {
  if (error == nullptr) return;
  if (message == nullptr || message[0] == '\0') message = kNoTransportMessage;
  Fill(error, message, zv_classify_transport_message(message), status, nullptr, false);
}

void zv_set_server_error(AdbcError* error, const char* message, const char* sqlstate,
                         int32_t vendor_code, const char* server_code) {
  if (error == nullptr) return;
  if (message == nullptr || message[0] == '\0') message = kNoTransportMessage;
  Fill(error, message, sqlstate, vendor_code, server_code, false);
}

void zv_set_detailed_error(AdbcError* error, const char* message, const char* sqlstate,
                           int32_t vendor_code, const char* server_code) {
  if (error == nullptr) return;
  if (message == nullptr || message[0] == '\0') message = kNoTransportMessage;
  Fill(error, message, sqlstate, vendor_code, server_code, true);
}

int zv_error_get_detail_count(const AdbcError* error) {
  const ZVErrorDetails* details = DetailsOf(error);
  return details ? static_cast<int>(details->entries.size()) : 0;
}

AdbcErrorDetail zv_error_get_detail(const AdbcError* error, int index) {
  const ZVErrorDetails* details = DetailsOf(error);
  if (details == nullptr || index < 0 || static_cast<size_t>(index) >= details->entries.size()) {
    return {nullptr, nullptr, 0};
  }
  const auto& [key, value] = details->entries[static_cast<size_t>(index)];
  return {key.c_str(), reinterpret_cast<const uint8_t*>(value.data()), value.size()};
}

}  // namespace zv
