#pragma once

#include <adbc.h>

#include <cstdint>

namespace zv {

// The ways an entry point fills an AdbcError. A null error is ignored; a
// message left from an earlier call is released first. The message is a heap
// copy owned by the error until its release callback runs.
//
// Entry points keep the 1.0 members only (the vendor code is part of their
// contract). Errors of result streams, which hosts of ADBC 1.1 fetch with
// AdbcErrorFromArrayStream, carry error details as well
// (zv_set_detailed_error).

// For errors the driver detects itself: vendor code 0.
void zv_set_error(AdbcError* error, const char* message, const char* sqlstate);

// For text from the transport, the query worker or a server: the SQLSTATE is
// classified from the text and the vendor code is `status`.
void zv_set_classified_error(AdbcError* error, const char* message, AdbcStatusCode status);

// For a failure whose SQLSTATE is already known (a server named it, or it was
// classified beforehand). `server_code` is the server's own error code, or
// null; it is offered only as an error detail.
void zv_set_server_error(AdbcError* error, const char* message, const char* sqlstate,
                         int32_t vendor_code, const char* server_code);

// zv_set_server_error for a record the driver owns as ADBC 1.1 (marked
// ADBC_ERROR_VENDOR_CODE_PRIVATE_DATA, as ADBC_ERROR_INIT does): the record
// keeps that marker as vendor code and offers details (zv_error_get_detail)
// with the SQLSTATE, the message, the vendor code and the server's code. An
// unmarked record is filled like zv_set_server_error.
void zv_set_detailed_error(AdbcError* error, const char* message, const char* sqlstate,
                           int32_t vendor_code, const char* server_code);

// Release callback installed in every AdbcError the driver fills.
void zv_error_release(AdbcError* error);

// ADBC 1.1 error details of a record this driver filled (0 / an empty detail
// for any other record).
int zv_error_get_detail_count(const AdbcError* error);
AdbcErrorDetail zv_error_get_detail(const AdbcError* error, int index);

}  // namespace zv
