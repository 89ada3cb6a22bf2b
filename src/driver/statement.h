#pragma once

#include <adbc.h>

#include <optional>
#include <string>

#include "ingest/bound_stream.h"
#include "ingest/ingest_options.h"

namespace zv {

struct ZVConnection;

// The record behind an AdbcStatement.
struct ZVStatement {
  AdbcConnection* connection = nullptr;  // not owned; released after the statement
  std::optional<std::string> sql;
  IngestSettings ingest;
  OwnedArrowStream bound_stream;  // consumed by the next ingest run
};

AdbcStatusCode StatementNew(AdbcConnection* connection, AdbcStatement* statement,
                            AdbcError* error);
AdbcStatusCode StatementSetSqlQuery(AdbcStatement* statement, const char* query,
                                    AdbcError* error);
AdbcStatusCode StatementPrepare(AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementExecuteQuery(AdbcStatement* statement, ArrowArrayStream* out,
                                     int64_t* rows_affected, AdbcError* error);
AdbcStatusCode StatementRelease(AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementSetOption(AdbcStatement* statement, const char* key, const char* value,
                                  AdbcError* error);
AdbcStatusCode StatementBind(AdbcStatement* statement, ArrowArray* values, ArrowSchema* schema,
                             AdbcError* error);
AdbcStatusCode StatementBindStream(AdbcStatement* statement, ArrowArrayStream* stream,
                                   AdbcError* error);

}  // namespace zv
