#pragma once

#include <adbc.h>

// The only two ways an entry point fills an AdbcError. A null error is
// ignored; a message left from an earlier call is released first. The message
// is a heap copy owned by the error until its release callback runs.

// For errors the driver detects itself: vendor code 0.
void zv_set_error(AdbcError* error, const char* message, const char* sqlstate);

// For text from the transport, the query worker or a server: the SQLSTATE is
// classified from the text and the vendor code is `status`.
void zv_set_classified_error(AdbcError* error, const char* message, AdbcStatusCode status);

// Release callback installed in every AdbcError the driver fills.
void zv_error_release(AdbcError* error);
