// The connection's option table: every key AdbcConnectionSetOption takes,
// before and after AdbcConnectionInit, and the keys that only read back.

#include <adbc.h>
#include <arrow/array.h>

#include "driver/connection.h"
#include "driver/option_table.h"
#include "stream/query_failure.h"
#include "stream/query_worker.h"

namespace zv {

namespace {

using Row = OptionDescriptor<ZVConnection>;
using Type = OptionValueType;

// Autocommit is the only mode: true changes nothing, false is refused.
constexpr OptionAccess<ZVConnection> kAutocommit{
    [](ZVConnection&, const char* value) -> arrow::Status {
      if (*ParseBooleanText(value)) return arrow::Status::OK();
      return Failure(FailureKind::kNotImplemented, "0A000",
                     "Zorvane does not yet support explicit transactions; autocommit is "
                     "always true");
    },
    [](ZVConnection&, std::string_view) -> arrow::Result<std::string> {
      return std::string(ADBC_OPTION_VALUE_ENABLED);
    },
    nullptr};

constexpr OptionAccess<ZVConnection> kReadOnly{
    [](ZVConnection& conn, const char* value) {
      conn.read_only = *ParseBooleanText(value);
      return arrow::Status::OK();
    },
    [](ZVConnection& conn, std::string_view) -> arrow::Result<std::string> {
      return std::string(conn.read_only ? ADBC_OPTION_VALUE_ENABLED : ADBC_OPTION_VALUE_DISABLED);
    },
    nullptr};

// The session's current catalog and schema as compute sees them; each query
// is a session of its own there, so they are asked for, never cached.
arrow::Result<std::string> CurrentSessionName(ZVConnection& conn, std::string_view key,
                                              const char* sql) {
  if (!conn.transport) return OptionNotSet(std::string(key));
  ARROW_ASSIGN_OR_RAISE(ZVQueryPtr query,
                        StartQuery(conn.transport, {.sql = sql,
                                                    .timeout_sec = conn.query_timeout_sec,
                                                    .cancel_scopes = {conn.cancel_scope}}));
  std::string error;
  std::string name;
  while (ZVArrowBatchPtr carrier = zv_next_batch(query.get(), &error)) {
    if (!carrier->batch || carrier->batch->num_rows() == 0) continue;
    auto column = std::dynamic_pointer_cast<arrow::StringArray>(carrier->batch->column(0));
    if (column && column->IsValid(0)) name = column->GetString(0);
  }
  if (!error.empty()) return QueryFailure(query.get());
  if (name.empty()) return OptionNotSet(std::string(key));
  return name;
}

// Readable, but every query is a session of its own on compute: there is no
// session whose current catalog or schema could be switched.
template <const char* kKey, const char* kSql>
constexpr OptionAccess<ZVConnection> SessionName() {
  return {
      [](ZVConnection&, const char*) {
        return UnknownOptionKey(std::string(kKey) +
                                " cannot be set: each query runs in a session of its own; "
                                "qualify names with their catalog and schema instead");
      },
      [](ZVConnection& conn, std::string_view key) { return CurrentSessionName(conn, key, kSql); },
      nullptr};
}

constexpr char kCatalogKey[] = ADBC_CONNECTION_OPTION_CURRENT_CATALOG;
constexpr char kCatalogSql[] = "SELECT current_database() AS name";
constexpr char kSchemaKey[] = ADBC_CONNECTION_OPTION_CURRENT_DB_SCHEMA;
constexpr char kSchemaSql[] = "SELECT current_schema() AS name";

template <auto Field>
constexpr auto Count() {
  return IntegerOption<Field, ParseConnectionInteger>();
}

// key, type, check, refusal, field, secret, after Init.
constexpr Row kConnectionOptions[] = {
    {ADBC_CONNECTION_OPTION_AUTOCOMMIT, Type::kBoolean, IsBooleanText,
     "adbc.connection.autocommit must be true or false", kAutocommit, false, true},
    {ADBC_CONNECTION_OPTION_READ_ONLY, Type::kBoolean, IsBooleanText,
     "adbc.connection.readonly must be true or false", kReadOnly, false, true},
    // The key ADBC 1.0 documents for read-only connections: an alias.
    {"adbc.connection.read_only", Type::kBoolean, IsBooleanText,
     "adbc.connection.read_only must be true or false", kReadOnly, false, true},
    {"adbc.zorvane.query_timeout_sec", Type::kInteger, IsConnectionInteger,
     "adbc.zorvane.query_timeout_sec must be a non-negative integer",
     Count<&ZVConnection::query_timeout_sec>(), false, true},
    {"adbc.zorvane.batch_size_hint", Type::kInteger, IsConnectionInteger,
     "adbc.zorvane.batch_size_hint must be a non-negative integer",
     Count<&ZVConnection::batch_size_hint>(), false, true},
    {"adbc.zorvane.catalog_max_age_sec", Type::kInteger, IsConnectionInteger,
     "adbc.zorvane.catalog_max_age_sec must be a non-negative integer",
     Count<&ZVConnection::catalog_max_age_sec>(), false, true},
    {kCatalogKey, Type::kText, nullptr, nullptr, SessionName<kCatalogKey, kCatalogSql>(), false,
     true},
    {kSchemaKey, Type::kText, nullptr, nullptr, SessionName<kSchemaKey, kSchemaSql>(), false, true},
};

}  // namespace

OptionTable<ZVConnection> ConnectionOptions() { return kConnectionOptions; }

}  // namespace zv
