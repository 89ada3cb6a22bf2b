#pragma once

#include <adbc.h>
#include <arrow/result.h>

#include <optional>
#include <string>

#include "driver/handle_record.h"
#include "driver/option_table.h"
#include "driver/statement_state.h"
#include "ingest/bound_stream.h"
#include "ingest/ingest_options.h"
#include "stream/cancel_scope.h"

namespace zv {

struct ZVConnection;

// The record behind an AdbcStatement.
struct ZVStatement {
  // Shared: a host may release the connection first (its record then reads
  // as not initialised), and the connection handle may be reused meanwhile.
  ParentRecord<ZVConnection, AdbcConnection> connection;
  StatementState state;
  IngestSettings ingest;                      // options; kept across runs
  std::optional<uint32_t> query_timeout_sec;  // overrides the connection's
  // The statement's queries, for AdbcStatementCancel; shared with the
  // queries so that a cancel from another thread never sees a freed scope.
  std::shared_ptr<CancelScope> cancel_scope = std::make_shared<CancelScope>();
};

AdbcStatusCode StatementNew(AdbcConnection* connection, AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementSetSqlQuery(AdbcStatement* statement, const char* query, AdbcError* error);
AdbcStatusCode StatementPrepare(AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementExecuteQuery(AdbcStatement* statement, ArrowArrayStream* out,
                                     int64_t* rows_affected, AdbcError* error);
AdbcStatusCode StatementRelease(AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementSetOption(AdbcStatement* statement, const char* key, const char* value,
                                  AdbcError* error);
AdbcStatusCode StatementBind(AdbcStatement* statement, ArrowArray* values, ArrowSchema* schema,
                             AdbcError* error);
AdbcStatusCode StatementCancel(AdbcStatement* statement, AdbcError* error);
AdbcStatusCode StatementExecuteSchema(AdbcStatement* statement, ArrowSchema* schema,
                                      AdbcError* error);
AdbcStatusCode StatementGetParameterSchema(AdbcStatement* statement, ArrowSchema* schema,
                                           AdbcError* error);

// Every option a statement takes or reads back, its ingest options included
// (statement_options.cc).
OptionTable<ZVStatement> StatementOptions();
AdbcStatusCode StatementBindStream(AdbcStatement* statement, ArrowArrayStream* stream,
                                   AdbcError* error);

}  // namespace zv
