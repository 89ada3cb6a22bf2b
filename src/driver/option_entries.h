// ADBC 1.1 option and statistics entry points of the three handles.
#pragma once

#include <adbc.h>

#include <cstddef>
#include <cstdint>

namespace zv {

AdbcStatusCode DatabaseGetOption(AdbcDatabase* d, const char* key, char* value, size_t* length, AdbcError* error);
AdbcStatusCode DatabaseGetOptionBytes(AdbcDatabase* d, const char* key, uint8_t* value, size_t* length, AdbcError* error);
AdbcStatusCode DatabaseGetOptionInt(AdbcDatabase* d, const char* key, int64_t* value, AdbcError* error);
AdbcStatusCode DatabaseGetOptionDouble(AdbcDatabase* d, const char* key, double* value, AdbcError* error);
AdbcStatusCode DatabaseSetOptionBytes(AdbcDatabase* d, const char* key, const uint8_t* value, size_t length, AdbcError* error);
AdbcStatusCode DatabaseSetOptionInt(AdbcDatabase* d, const char* key, int64_t value, AdbcError* error);
AdbcStatusCode DatabaseSetOptionDouble(AdbcDatabase* d, const char* key, double value, AdbcError* error);
AdbcStatusCode ConnectionGetOption(AdbcConnection* c, const char* key, char* value, size_t* length, AdbcError* error);
AdbcStatusCode ConnectionGetOptionBytes(AdbcConnection* c, const char* key, uint8_t* value, size_t* length, AdbcError* error);
AdbcStatusCode ConnectionGetOptionInt(AdbcConnection* c, const char* key, int64_t* value, AdbcError* error);
AdbcStatusCode ConnectionGetOptionDouble(AdbcConnection* c, const char* key, double* value, AdbcError* error);
AdbcStatusCode ConnectionSetOptionBytes(AdbcConnection* c, const char* key, const uint8_t* value, size_t length, AdbcError* error);
AdbcStatusCode ConnectionSetOptionInt(AdbcConnection* c, const char* key, int64_t value, AdbcError* error);
AdbcStatusCode ConnectionSetOptionDouble(AdbcConnection* c, const char* key, double value, AdbcError* error);
AdbcStatusCode StatementGetOption(AdbcStatement* s, const char* key, char* value, size_t* length, AdbcError* error);
AdbcStatusCode StatementGetOptionBytes(AdbcStatement* s, const char* key, uint8_t* value, size_t* length, AdbcError* error);
AdbcStatusCode StatementGetOptionInt(AdbcStatement* s, const char* key, int64_t* value, AdbcError* error);
AdbcStatusCode StatementGetOptionDouble(AdbcStatement* s, const char* key, double* value, AdbcError* error);
AdbcStatusCode StatementSetOptionBytes(AdbcStatement* s, const char* key, const uint8_t* value, size_t length, AdbcError* error);
AdbcStatusCode StatementSetOptionInt(AdbcStatement* s, const char* key, int64_t value, AdbcError* error);
AdbcStatusCode StatementSetOptionDouble(AdbcStatement* s, const char* key, double value, AdbcError* error);
AdbcStatusCode ConnectionGetStatisticNames(AdbcConnection*, ArrowArrayStream*, AdbcError* error);
AdbcStatusCode ConnectionGetStatistics(AdbcConnection*, const char*, const char*, const char*, char, ArrowArrayStream*, AdbcError* error);

}  // namespace zv
