#include "driver/statement.h"

#include <arrow/c/bridge.h>

#include <cctype>
#include <cstring>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "driver/adbc_status.h"
#include "driver/catalog_freshness.h"
#include "driver/connection.h"
#include "driver/handle_record.h"
#include "driver/option_access.h"
#include "driver/option_values.h"
#include "driver/parameter_run.h"
#include "driver/sql_placeholders.h"
#include "stream/query_failure.h"
#include "driver/result_stream.h"
#include "diagnostics/sql_trace.h"
#include "stream/error_classification.h"
#include "stream/query_worker.h"
#include "ingest/ingest_run.h"

namespace zv {

AdbcStatusCode StatementNew(AdbcConnection* connection, AdbcStatement* statement,
                            AdbcError* error) {
  return RunEntryPoint("AdbcStatementNew", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementNew(conn=%p, stmt=%p)",
           static_cast<void*>(connection), static_cast<void*>(statement));
    if (connection == nullptr || statement == nullptr) {
      return NullArgument("AdbcStatementNew: null connection or statement");
    }
    if (statement->private_data != nullptr) {
      return SequenceError("AdbcStatementNew called twice without Release");
    }
    if (RecordOf<ZVConnection>(connection) == nullptr) {
      return SequenceError("AdbcStatementNew: parent connection not allocated");
    }
    if (!IsConnectionInitialised(connection)) {
      return SequenceError(
          "AdbcStatementNew: parent connection not initialised (call AdbcConnectionInit "
          "first)");
    }
    auto record = std::make_unique<ZVStatement>();
    record->connection = connection;
    AttachRecord(statement, std::move(record));
    return arrow::Status::OK();
  });
}

AdbcStatusCode StatementSetSqlQuery(AdbcStatement* statement, const char* query,
                                    AdbcError* error) {
  return RunEntryPoint("AdbcStatementSetSqlQuery", error, [&]() -> arrow::Status {
    // SQL can carry passwords (CREATE USER ... PASSWORD, connection strings),
    // so it is scrubbed like every other free text before it is logged.
    if (LogEnabled(kLogInfo)) {
      std::string shown = query ? zv_redact(query) : std::string("(null)");
      zv_log_write(kLogInfo, "api", "AdbcStatementSetSqlQuery(stmt=%p, sql.len=%zu, sql=\"%s\")",
                   static_cast<void*>(statement), query ? std::strlen(query) : size_t{0},
                   shown.c_str());
    }
    if (statement == nullptr || query == nullptr) {
      return NullArgument("AdbcStatementSetSqlQuery: null statement or query");
    }
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementSetSqlQuery: statement not allocated");
    std::string sql;
    try {
      sql = query;
    } catch (const std::bad_alloc&) {
      return OutOfMemory("AdbcStatementSetSqlQuery: out of memory");
    }
    stmt->state = WithSql(std::move(stmt->state), std::move(sql));
    return arrow::Status::OK();
  });
}

AdbcStatusCode StatementPrepare(AdbcStatement* statement, AdbcError* error) {
  return RunEntryPoint("AdbcStatementPrepare", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementPrepare(stmt=%p)", static_cast<void*>(statement));
    if (statement == nullptr) return NullArgument("AdbcStatementPrepare: null statement");
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementPrepare: statement not allocated");
    if (SqlOf(stmt->state) == nullptr) {
      return SequenceError("AdbcStatementPrepare: SetSqlQuery must be called first");
    }
    return arrow::Status::OK();
  });
}

namespace {

// Reads a result to its end so that a statement run for its side effects has
// finished on the server before ExecuteQuery returns.
arrow::Status DrainQuery(ZVQuery* query, int64_t* rows_affected) {
  std::string error;
  while (ZVArrowBatchPtr carrier = zv_next_batch(query, &error)) {
  }
  if (!error.empty()) return QueryFailure(query);
  if (rows_affected != nullptr) {
    const int64_t rows = query->RowsAffected();
    if (rows >= 0) *rows_affected = rows;
  }
  return arrow::Status::OK();
}

// Offers the SQL to the metadata engine; a finished query over its result
// when it answers, null when the statement must go to compute. Running out of
// memory while wrapping an answer is a failure, not a reason to ask compute.
arrow::Result<ZVQueryPtr> AnswerLocally(ZVConnection& conn, const std::string& sql) {
  if (!conn.engine) return nullptr;
  zv_sql::ExecuteResult result = conn.engine->execute_sql(sql);
  if (result.status == zv_sql::ExecuteStatus::Ok && conn.catalog_may_have_changed) {
    // Only a local answer can be stale; compute sees every change anyway.
    RefreshCatalogIfChanged(conn);
    result = conn.engine->execute_sql(sql);
  }
  switch (result.status) {
    case zv_sql::ExecuteStatus::NotHandled:
      ZV_LOG(kLogDebug, "meta_engine", "routing to compute (reason=%s)", result.reason.c_str());
      return nullptr;
    case zv_sql::ExecuteStatus::Error:
      ZV_LOG(kLogDebug, "meta_engine", "engine error, routing to compute (msg=%s)",
             zv_redact(result.error).c_str());
      return nullptr;
    case zv_sql::ExecuteStatus::Ok:
      break;
  }
  long long rows = 0;
  for (const auto& batch : result.batches) rows += batch ? batch->num_rows() : 0;
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        zv_wrap_engine_result(conn.transport, result.schema, result.batches));
  zv_sql_trace_statement("MetadataEngine(cache hit)", sql.c_str());
  ZV_LOG(kLogDebug, "meta_engine", "served from cache (rows=%lld)", rows);
  return query;
}

// Bulk ingest of the bound data; the run consumes the data whatever its
// outcome, the ingest settings stay for the next bind.
arrow::Status ExecuteUpdate(AdbcStatement* statement, ZVStatement& stmt, OwnedArrowStream& data,
                            int64_t* rows_affected) {
  ZV_LOG(kLogInfo, "api", "AdbcStatementExecuteUpdate(stmt=%p)", static_cast<void*>(statement));
  if (rows_affected != nullptr) *rows_affected = -1;
  ZVConnection* conn = stmt.connection.get();
  if (!IsConnectionInitialised(conn)) {
    return SequenceError("AdbcStatementExecuteUpdate: connection not initialised");
  }
  arrow::Status status =
      RunIngest(conn->transport, stmt.ingest, data, rows_affected, stmt.cancel_scope);
  if (stmt.ingest.mode != IngestMode::kLand) NoteCatalogChange(*conn);
  return status;
}

// Runs one SQL text: locally when the metadata engine answers it, else on
// compute. With `out` the result is handed out once the server has answered;
// without, the statement runs to completion.
arrow::Status RunSql(ZVConnection& conn, ZVStatement& stmt, const std::string& sql,
                     ArrowArrayStream* out, int64_t* rows_affected) {
  auto local = AnswerLocally(conn, sql);
  if (!local.ok()) return ClassifiedFailure(FailureKind::kInternal, local.status().message());
  ZVQueryPtr query = std::move(*local);
  bool may_change_catalog = false;
  if (!query) {
    may_change_catalog = MayChangeCatalog(sql);
    // Cancellable from here until the query is closed (by the stream or below).
    ARROW_ASSIGN_OR_RAISE(query, StartCancellableQuery(
                                     conn.transport, sql, conn.batch_size_hint,
                                     stmt.query_timeout_sec.value_or(conn.query_timeout_sec),
                                     {stmt.cancel_scope, conn.cancel_scope}));
  } else {
    for (const auto& scope : {stmt.cancel_scope, conn.cancel_scope}) {
      query->JoinCancelScope(scope);
    }
  }
  if (out == nullptr) {
    arrow::Status drained = DrainQuery(query.get(), rows_affected);
    if (may_change_catalog) NoteCatalogChange(conn);
    return drained;
  }
  // Hand out the stream only once the server has the statement: hosts
  // release unread streams of DDL and DML, which must still take effect.
  query->WaitUntilAccepted();
  if (may_change_catalog) NoteCatalogChange(conn);
  if (query->FailedBeforeData()) return QueryFailure(query.get());
  try {
    ExportResultStream(std::move(query), out);
  } catch (const std::bad_alloc&) {
    return OutOfMemory("zv_adbc_stream_init: out of memory");
  }
  return arrow::Status::OK();
}

// ExecuteQuery in each state of the statement.
class ExecuteRun {
 public:
  ExecuteRun(AdbcStatement* statement, ZVStatement& stmt, ArrowArrayStream* out,
             int64_t* rows_affected)
      : statement_(statement), stmt_(stmt), out_(out), rows_affected_(rows_affected) {}

  arrow::Status operator()(NoCommand&) const { return MissingSql(); }
  arrow::Status operator()(SqlCommand& state) const { return RunCommand(state.sql, nullptr); }
  arrow::Status operator()(BoundData& state) const {
    if (stmt_.ingest.HasTarget()) return Ingest(state.data);
    return MissingSql();
  }
  arrow::Status operator()(SqlWithBoundData& state) const {
    if (stmt_.ingest.HasTarget()) return Ingest(state.data);
    return RunCommand(state.sql, &state.data);
  }

 private:
  static arrow::Status MissingSql() {
    return SequenceError(
        "AdbcStatementExecuteQuery: SetSqlQuery must be called with a non-empty SQL string "
        "before Execute");
  }

  arrow::Status Ingest(OwnedArrowStream& data) const {
    if (out_ == nullptr) return ExecuteUpdate(statement_, stmt_, data, rows_affected_);
    return SequenceError(
        "AdbcStatementExecuteQuery: bulk Arrow ingest is a DML operation; pass out_stream=NULL "
        "(ADBC v1.0 convention) to drive the ingest. Call AdbcStatementSetSqlQuery + "
        "ExecuteQuery if you intended a SELECT.");
  }

  // The SQL on its own, or once per row of the bound parameters.
  arrow::Status RunCommand(const std::string& sql, OwnedArrowStream* parameters) const {
    if (sql.empty()) return MissingSql();
    ZV_LOG(kLogInfo, "api", "AdbcStatementExecuteQuery(stmt=%p, sql.len=%zu)",
           static_cast<void*>(statement_), sql.size());
    ZVConnection* conn = stmt_.connection.get();
    if (!IsConnectionInitialised(conn)) {
      return SequenceError(
          "AdbcStatementExecuteQuery: parent connection is not initialised (call "
          "AdbcConnectionInit first)");
    }
    if (rows_affected_ != nullptr) *rows_affected_ = -1;
    if (out_ != nullptr) std::memset(out_, 0, sizeof(*out_));
    if (parameters == nullptr) return RunSql(*conn, stmt_, sql, out_, rows_affected_);
    ZVStatement* stmt = &stmt_;
    auto run = [conn, stmt](const std::string& text, ArrowArrayStream* run_out, int64_t* rows) {
      return RunSql(*conn, *stmt, text, run_out, rows);
    };
    const uint64_t generation = stmt->cancel_scope->generation();
    auto cancelled = [stmt, generation] { return stmt->cancel_scope->generation() != generation; };
    return RunWithParameters(sql, *parameters, out_, rows_affected_, run, cancelled);
  }

  AdbcStatement* statement_;
  ZVStatement& stmt_;
  ArrowArrayStream* out_;
  int64_t* rows_affected_;
};

arrow::Status ExecuteStatement(AdbcStatement* statement, ArrowArrayStream* out,
                               int64_t* rows_affected) {
  if (statement == nullptr) return NullArgument("AdbcStatementExecuteQuery: null statement");
  ZVStatement* stmt = RecordOf<ZVStatement>(statement);
  if (stmt == nullptr) {
    return SequenceError("AdbcStatementExecuteQuery: statement not allocated");
  }
  arrow::Status status = std::visit(ExecuteRun(statement, *stmt, out, rows_affected), stmt->state);
  // A failed run releases its data too: a host that runs plain SQL next on
  // the same statement (a DB-API cursor binds only when it has parameters)
  // must not find the rows of the failed run bound to it.
  stmt->state = status.ok() ? WithoutSpentData(std::move(stmt->state))
                            : WithoutBoundData(std::move(stmt->state));
  return status;
}

}  // namespace

AdbcStatusCode StatementExecuteQuery(AdbcStatement* statement, ArrowArrayStream* out,
                                     int64_t* rows_affected, AdbcError* error) {
  ScopedTraceLabel label("AdbcStatementExecuteQuery");
  return RunEntryPoint("AdbcStatementExecuteQuery", error,
                       [&] { return ExecuteStatement(statement, out, rows_affected); });
}

AdbcStatusCode StatementRelease(AdbcStatement* statement, AdbcError* error) {
  return RunEntryPoint("AdbcStatementRelease", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementRelease(stmt=%p)", static_cast<void*>(statement));
    if (RecordOf<ZVStatement>(statement) == nullptr) return arrow::Status::OK();
    // Bound data no run consumed is released with the record.
    DetachRecord<ZVStatement>(statement);
    return arrow::Status::OK();
  });
}

AdbcStatusCode StatementSetOption(AdbcStatement* statement, const char* key, const char* value,
                                  AdbcError* error) {
  return RunEntryPoint("AdbcStatementSetOption", error, [&]() -> arrow::Status {
    // Values are never logged: idempotency keys and locations can be sensitive.
    ZV_LOG(kLogInfo, "api", "AdbcStatementSetOption(stmt=%p, key=%s)",
           static_cast<void*>(statement), key ? key : "(null)");
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementSetOption: statement not allocated");
    if (key == nullptr) return NullArgument("AdbcStatementSetOption: null key");
    if (std::string_view(key) == "adbc.zorvane.query_timeout_sec") {
      auto parsed = ParseConnectionInteger(value);
      if (!parsed) {
        return InvalidOptionValue("adbc.zorvane.query_timeout_sec must be a non-negative integer");
      }
      stmt->query_timeout_sec = *parsed;
      return arrow::Status::OK();
    }
    if (std::string_view(key) == "adbc.statement.bind_by_name") {
      // Parameters are positional; binding by name is refused rather than
      // silently bound in column order.
      auto flag = ParseBooleanText(value);
      if (!flag) return InvalidOptionValue("adbc.statement.bind_by_name must be true or false");
      if (*flag) {
        // The data bound for it is released with the refusal, so that it is
        // never run against the next statement's placeholders.
        stmt->state = WithoutBoundData(std::move(stmt->state));
        return Failure(FailureKind::kNotImplemented, "HYC00",
                       "parameters are bound by position (?); binding by name is not "
                       "supported");
      }
      return arrow::Status::OK();
    }
    return ApplyIngestOption(stmt->ingest, key, value);
  });
}

arrow::Result<std::string> StatementOptionValue(ZVStatement& stmt, const std::string& key) {
  const IngestSettings& ingest = stmt.ingest;
  auto text = [&key](const std::optional<std::string>& field) -> arrow::Result<std::string> {
    if (!field) return OptionNotSet(key);
    return *field;
  };
  if (key == "adbc.ingest.target_table") return text(ingest.target_table);
  if (key == "zv.ingest.target_location") return text(ingest.target_location);
  if (key == "zv.ingest.idempotency_key") return text(ingest.idempotency_key);
  if (key == "zv.ingest.mode") return std::string(IngestModeName(ingest.mode));
  if (key == "zv.ingest.payload_format") return std::string(PayloadFormatName(ingest.payload_format));
  if (key == "zv.ingest.coerce") return std::string(ingest.coerce ? "true" : "false");
  if (key == "adbc.ingest.temporary") return std::string("false");
  if (key == "zv.ingest.key_columns") {
    std::string joined;
    for (const auto& column : ingest.key_columns) joined += (joined.empty() ? "" : ",") + column;
    return joined;
  }
  if (key == "adbc.ingest.target_catalog") return text(ingest.target_catalog);
  if (key == "adbc.ingest.target_db_schema") return text(ingest.target_db_schema);
  if (key == "adbc.ingest.mode") {
    // The service's own modes (upsert, overwrite, land) have no ADBC name.
    if (ingest.mode != IngestMode::kAppend) return OptionNotSet(key);
    if (ingest.creation == TableCreation::kNone) return std::string("adbc.ingest.mode.append");
    return std::string("adbc.ingest.mode.") + TableCreationName(ingest.creation);
  }
  if (key == "adbc.statement.bind_by_name") return std::string("false");
  if (key == ADBC_STATEMENT_OPTION_PROGRESS || key == ADBC_STATEMENT_OPTION_MAX_PROGRESS) {
    // Rows so far and rows expected (0: not known) of the latest run.
    const ExecProgressReading progress = stmt.cancel_scope->LatestProgress();
    return DoubleOptionText(static_cast<double>(
        key == ADBC_STATEMENT_OPTION_PROGRESS ? progress.rows : progress.expected_rows));
  }
  if (key == "adbc.zorvane.query_timeout_sec") {
    if (stmt.query_timeout_sec) return std::to_string(*stmt.query_timeout_sec);
    ZVConnection* conn = stmt.connection.get();
    return std::to_string(conn ? conn->query_timeout_sec : 0);
  }
  return OptionNotSet(key);
}

namespace {

// The local engine's answer to a query, else compute's answer to the query
// wrapped in a LIMIT 0, with NULL for each parameter. Only queries have a
// result schema to ask for.
arrow::Result<ZVQueryPtr> SchemaProbe(ZVConnection& conn, ZVStatement& stmt,
                                      const std::string& sql) {
  auto local = AnswerLocally(conn, sql);
  if (!local.ok()) return ClassifiedFailure(FailureKind::kInternal, local.status().message());
  if (*local) return std::move(*local);
  bool query = false;
  for (const char* word : {"SELECT", "WITH", "VALUES", "FROM", "TABLE"}) {
    query = query || ascii_iequals(FirstKeyword(sql), word);
  }
  if (!query) {
    return Failure(FailureKind::kNotImplemented, "HYC00",
                   "AdbcStatementExecuteSchema: only queries have a result schema");
  }
  ARROW_ASSIGN_OR_RAISE(auto positions, FindPlaceholders(sql));
  const std::string probe =
      "SELECT * FROM (" +
      SubstituteParameters(sql, positions, std::vector<std::string>(positions.size(), "NULL")) +
      "\n) AS zv_schema_probe LIMIT 0";
  ARROW_ASSIGN_OR_RAISE(
      ZVQueryPtr probed,
      StartCancellableQuery(conn.transport, probe, conn.batch_size_hint,
                            stmt.query_timeout_sec.value_or(conn.query_timeout_sec),
                            {stmt.cancel_scope, conn.cancel_scope}));
  probed->WaitUntilAccepted();
  if (probed->FailedBeforeData()) return QueryFailure(probed.get());
  return probed;
}

// The result schema of the statement's SQL: the local engine's when it
// answers, else compute's answer to the query wrapped in a LIMIT 0, with NULL
// for each parameter. Only queries have a result schema to ask for.
arrow::Status ExecuteSchema(ZVStatement& stmt, ArrowSchema* schema) {
  const std::string* text = SqlOf(stmt.state);
  if (text == nullptr || text->empty()) {
    return SequenceError("AdbcStatementExecuteSchema: SetSqlQuery must be called first");
  }
  if (!IsConnectionInitialised(stmt.connection.get())) {
    return SequenceError("AdbcStatementExecuteSchema: connection not initialised");
  }
  ZVConnection* conn = stmt.connection.get();
  std::string sql = *text;
  while (!sql.empty() && (std::isspace(static_cast<unsigned char>(sql.back())) || sql.back() == ';')) {
    sql.pop_back();
  }
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query, SchemaProbe(*conn, stmt, sql));
  ArrowArrayStream stream{};
  ExportResultStream(std::move(query), &stream);
  OwnedArrowStream owned = OwnedArrowStream::Adopt(&stream);
  if (owned.get()->get_schema(owned.get(), schema) != 0) {
    const char* text = owned.get()->get_last_error(owned.get());
    return Failure(FailureKind::kIo, "HY000", text ? text : "result schema unavailable");
  }
  return arrow::Status::OK();
}

}  // namespace

AdbcStatusCode StatementExecuteSchema(AdbcStatement* statement, ArrowSchema* schema,
                                      AdbcError* error) {
  ScopedTraceLabel label("AdbcStatementExecuteSchema");
  return RunEntryPoint("AdbcStatementExecuteSchema", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementExecuteSchema(stmt=%p)", static_cast<void*>(statement));
    if (schema == nullptr) return NullArgument("AdbcStatementExecuteSchema: null schema");
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementExecuteSchema: statement not allocated");
    return ExecuteSchema(*stmt, schema);
  });
}

AdbcStatusCode StatementGetParameterSchema(AdbcStatement* statement, ArrowSchema* schema,
                                           AdbcError* error) {
  return RunEntryPoint("AdbcStatementGetParameterSchema", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementGetParameterSchema(stmt=%p)",
           static_cast<void*>(statement));
    if (schema == nullptr) return NullArgument("AdbcStatementGetParameterSchema: null schema");
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) {
      return SequenceError("AdbcStatementGetParameterSchema: statement not allocated");
    }
    const std::string* sql = SqlOf(stmt->state);
    if (sql == nullptr) {
      return SequenceError("AdbcStatementGetParameterSchema: SetSqlQuery must be called first");
    }
    // Positional parameters whose types the service does not tell: one
    // field of the null type per placeholder, named by its position.
    ARROW_ASSIGN_OR_RAISE(size_t count, CountParameters(*sql));
    arrow::FieldVector fields;
    for (size_t i = 0; i < count; ++i) fields.push_back(arrow::field(std::to_string(i), arrow::null()));
    return arrow::ExportSchema(*arrow::schema(std::move(fields)), schema);
  });
}

AdbcStatusCode StatementCancel(AdbcStatement* statement, AdbcError* error) {
  return RunEntryPoint("AdbcStatementCancel", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementCancel(stmt=%p)", static_cast<void*>(statement));
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementCancel: statement not allocated");
    stmt->cancel_scope->CancelAll();
    return arrow::Status::OK();
  });
}

AdbcStatusCode StatementBind(AdbcStatement* statement, ArrowArray* values, ArrowSchema* schema,
                             AdbcError* error) {
  return RunEntryPoint("AdbcStatementBind", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementBind(stmt=%p)", static_cast<void*>(statement));
    if (statement == nullptr || values == nullptr || schema == nullptr) {
      return NullArgument("AdbcStatementBind: null argument");
    }
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementBind: statement not allocated");
    ARROW_ASSIGN_OR_RAISE(OwnedArrowStream stream, StreamOfOneBatch(values, schema));
    stmt->state = WithBoundData(std::move(stmt->state), std::move(stream));
    return arrow::Status::OK();
  });
}

AdbcStatusCode StatementBindStream(AdbcStatement* statement, ArrowArrayStream* stream,
                                   AdbcError* error) {
  return RunEntryPoint("AdbcStatementBindStream", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementBindStream(stmt=%p)", static_cast<void*>(statement));
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementBindStream: statement not allocated");
    if (!IsUsableStream(stream)) {
      return NullArgument("AdbcStatementBindStream: stream is null or missing required callbacks");
    }
    // The previous producer is released before the new one is taken.
    stmt->state = WithoutBoundData(std::move(stmt->state));
    stmt->state = WithBoundData(std::move(stmt->state), OwnedArrowStream::Adopt(stream));
    return arrow::Status::OK();
  });
}

}  // namespace zv
