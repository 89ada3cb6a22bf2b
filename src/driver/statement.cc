#include "driver/statement.h"

#include <arrow/c/bridge.h>
#include <arrow/util/byte_size.h>

#include <cctype>
#include <cstring>

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "driver/adbc_status.h"
#include "driver/catalog_freshness.h"
#include "driver/connection.h"
#include "driver/handle_record.h"
#include "util/ascii.h"
#include "driver/parameter_run.h"
#include "driver/sql_placeholders.h"
#include "driver/statement_read_only.h"
#include "stream/query_failure.h"
#include "driver/result_stream.h"
#include "diagnostics/sql_trace.h"
#include "stream/error_classification.h"
#include "stream/query_worker.h"
#include "ingest/ingest_run.h"
#include "transport/transport_connection.h"
#include "util/format.h"

namespace zv {

AdbcStatusCode StatementNew(AdbcConnection* connection, AdbcStatement* statement,
                            AdbcError* error) {
  return RunEntryPoint("AdbcStatementNew", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcStatementNew(conn=%p, stmt=%p)", static_cast<void*>(connection),
           static_cast<void*>(statement));
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

AdbcStatusCode StatementSetSqlQuery(AdbcStatement* statement, const char* query, AdbcError* error) {
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
    // The statement runs this SQL next, with any bound data as its
    // parameters: a host reusing a statement that loaded data must not get a
    // second load. Setting a target again makes it an ingest again.
    stmt->ingest.ClearTarget();
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
// A local answer's failure: its own kind when it has one (a cancel while the
// catalog was confirmed), else an internal failure classified from its text.
arrow::Status KeptOrClassified(const arrow::Status& status) {
  if (FailureDetailOf(status) != nullptr) return status;
  return ClassifiedFailure(FailureKind::kInternal, status.message());
}

arrow::Result<ZVQueryPtr> AnswerLocally(ZVConnection& conn, const std::string& sql) {
  if (!conn.engine) return nullptr;
  zv_sql::ExecuteResult result = conn.engine->execute_sql(sql);
  if (result.status == zv_sql::ExecuteStatus::Ok) {
    // Only a local answer can be stale (compute sees every change), so only
    // one is confirmed; after a reload the new snapshot answers.
    const uint64_t epoch = conn.snapshot_store->stamp().epoch;
    ARROW_ASSIGN_OR_RAISE(const bool current, ConfirmCatalog(conn));
    if (!current) return nullptr;
    if (conn.snapshot_store->stamp().epoch != epoch) result = conn.engine->execute_sql(sql);
  }
  switch (result.status) {
    case zv_sql::ExecuteStatus::NotHandled:
      ZV_LOG(kLogDebug, "meta_engine", "routing to compute (reason=%s)", result.reason.c_str());
      return nullptr;
    case zv_sql::ExecuteStatus::Error:
      ZV_LOG(kLogDebug, "meta_engine", "engine error, routing to compute (msg=%s)",
             zv_redact(result.error).c_str());
      return nullptr;
    case zv_sql::ExecuteStatus::Ok: break;
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
  ZV_LOG(kLogInfo, "api", "AdbcStatementExecuteQuery(stmt=%p, out=NULL)",
         static_cast<void*>(statement));
  if (rows_affected != nullptr) *rows_affected = -1;
  ZVConnection* conn = stmt.connection.get();
  if (!IsConnectionInitialised(conn)) {
    return SequenceError("AdbcStatementExecuteQuery: connection not initialised");
  }
  if (conn->read_only) return ReadOnlyRefusal("an ingest");
  arrow::Status status = RunIngest(conn->transport, WithDefaultMode(stmt.ingest), data,
                                   rows_affected, stmt.cancel_scope);
  if (stmt.ingest.mode != IngestMode::kLand) NoteCatalogChange(*conn);
  return status;
}

// Starts one SQL text: locally when the metadata engine answers it, else on
// compute, cancellable through the statement and its connection until the
// query is closed.
arrow::Result<ZVQueryPtr> StartSql(ZVConnection& conn, ZVStatement& stmt, const std::string& sql,
                                   bool* may_change_catalog) {
  auto local = AnswerLocally(conn, sql);
  if (!local.ok()) return KeptOrClassified(local.status());
  ZVQueryPtr query = std::move(*local);
  *may_change_catalog = false;
  if (query) {
    for (const auto& scope : {stmt.cancel_scope, conn.cancel_scope}) {
      query->JoinCancelScope(scope);
    }
    return query;
  }
  *may_change_catalog = MayChangeCatalog(sql);
  return StartQuery(conn.transport,
                    {.sql = sql,
                     .timeout_sec = stmt.query_timeout_sec.value_or(conn.query_timeout_sec),
                     .cancel_scopes = {stmt.cancel_scope, conn.cancel_scope}});
}

arrow::Status ExportQuery(ZVQueryPtr query, ArrowArrayStream* out) {
  try {
    ExportResultStream(std::move(query), out);
  } catch (const std::bad_alloc&) {
    return OutOfMemory("zv_adbc_stream_init: out of memory");
  }
  return arrow::Status::OK();
}

// Runs one SQL text. With `out` the result is handed out once the server
// has answered; without, the statement runs to completion.
arrow::Status RunSql(ZVConnection& conn, ZVStatement& stmt, const std::string& sql,
                     ArrowArrayStream* out, int64_t* rows_affected) {
  bool may_change_catalog = false;
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query, StartSql(conn, stmt, sql, &may_change_catalog));
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
  return ExportQuery(std::move(query), out);
}

// What the results of several parameter rows may hold together until the
// last row has run: the connection's result buffer
// (adbc.zorvane.max_stream_buffer_mb, 256 MB unless set).
uint64_t CollectedResultBudget(const ZVConnection& conn) {
  const int32_t mb = conn.transport->options.max_stream_buffer_mb;
  return static_cast<uint64_t>(mb > 0 ? mb : 256) * 1048576ull;
}

// Runs one SQL text and reads its whole result; `*held` counts the bytes
// held by every result collected so far.
arrow::Result<WholeResult> CollectSql(ZVConnection& conn, ZVStatement& stmt, const std::string& sql,
                                      uint64_t* held) {
  bool may_change_catalog = false;
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query, StartSql(conn, stmt, sql, &may_change_catalog));
  WholeResult result;
  std::string error;
  const uint64_t budget = CollectedResultBudget(conn);
  while (ZVArrowBatchPtr carrier = zv_next_batch(query.get(), &error)) {
    if (!result.schema) result.schema = carrier->schema;
    if (!carrier->batch || carrier->batch->num_rows() == 0) continue;
    if (!result.schema) result.schema = carrier->batch->schema();
    *held += static_cast<uint64_t>(arrow::util::TotalBufferSize(*carrier->batch));
    if (*held > budget) {
      return Failure(FailureKind::kNotImplemented, "54000",
                     Format("the results of several parameter rows are held until the last row "
                            "has run, and they pass the %llu MB a result may buffer "
                            "(adbc.zorvane.max_stream_buffer_mb); bind fewer rows at a time",
                            static_cast<unsigned long long>(budget / 1048576)));
    }
    result.batches.push_back(std::move(carrier->batch));
  }
  if (may_change_catalog) NoteCatalogChange(conn);
  if (!error.empty()) return QueryFailure(query.get());
  if (!result.schema) result.schema = query->KnownSchema();
  if (!result.schema) result.schema = arrow::schema({});
  return result;
}

arrow::Result<ZVQueryPtr> SchemaProbe(ZVConnection& conn, ZVStatement& stmt,
                                      const std::string& sql);
std::string WithoutTrailingSemicolons(std::string sql);

// How the statement's parameter rows reach the service.
ParameterRunners RunnersOf(ZVConnection& conn, ZVStatement& stmt) {
  ZVConnection* c = &conn;
  ZVStatement* s = &stmt;
  auto held = std::make_shared<uint64_t>(0);
  const uint64_t generation = stmt.cancel_scope->generation();
  ParameterRunners runners;
  runners.run = [c, s](const std::string& text, ArrowArrayStream* out, int64_t* rows) {
    return RunSql(*c, *s, text, out, rows);
  };
  runners.collect = [c, s, held](const std::string& text) {
    return CollectSql(*c, *s, text, held.get());
  };
  runners.publish = [c](const WholeResult& result, ArrowArrayStream* out) -> arrow::Status {
    ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                          zv_wrap_engine_result(c->transport, result.schema, result.batches));
    return ExportQuery(std::move(query), out);
  };
  runners.no_rows = [c, s](const std::string& text, ArrowArrayStream* out) -> arrow::Status {
    ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query, SchemaProbe(*c, *s, WithoutTrailingSemicolons(text)));
    return ExportQuery(std::move(query), out);
  };
  runners.cancelled = [s, generation] { return s->cancel_scope->generation() != generation; };
  return runners;
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
    if (conn->read_only) ARROW_RETURN_NOT_OK(CheckReadOnlySql(sql));
    if (rows_affected_ != nullptr) *rows_affected_ = -1;
    if (out_ != nullptr) std::memset(out_, 0, sizeof(*out_));
    if (parameters == nullptr) return RunSql(*conn, stmt_, sql, out_, rows_affected_);
    return RunWithParameters(sql, *parameters, out_, rows_affected_, RunnersOf(*conn, stmt_));
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

namespace {

// A trailing `;` would end the probe's subquery early.
std::string WithoutTrailingSemicolons(std::string sql) {
  while (!sql.empty() &&
         (std::isspace(static_cast<unsigned char>(sql.back())) || sql.back() == ';')) {
    sql.pop_back();
  }
  return sql;
}

// The local engine's answer to a query, else compute's answer to the query
// wrapped in a LIMIT 0, with NULL for each parameter. Only queries have a
// result schema to ask for.
arrow::Result<ZVQueryPtr> SchemaProbe(ZVConnection& conn, ZVStatement& stmt,
                                      const std::string& sql) {
  auto local = AnswerLocally(conn, sql);
  if (!local.ok()) return KeptOrClassified(local.status());
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
      StartQuery(conn.transport,
                 {.sql = probe,
                  .timeout_sec = stmt.query_timeout_sec.value_or(conn.query_timeout_sec),
                  .cancel_scopes = {stmt.cancel_scope, conn.cancel_scope}}));
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
  if (conn->read_only) ARROW_RETURN_NOT_OK(CheckReadOnlySql(*text));
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        SchemaProbe(*conn, stmt, WithoutTrailingSemicolons(*text)));
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
    if (stmt == nullptr)
      return SequenceError("AdbcStatementExecuteSchema: statement not allocated");
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
    for (size_t i = 0; i < count; ++i)
      fields.push_back(arrow::field(std::to_string(i), arrow::null()));
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
