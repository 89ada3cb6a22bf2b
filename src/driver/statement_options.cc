// The statement's option table, its ingest options included, and
// AdbcStatementSetOption.

#include <adbc.h>

#include "diagnostics/log.h"
#include "driver/adbc_status.h"
#include "driver/connection.h"
#include "driver/option_table.h"
#include "driver/statement.h"

namespace zv {

namespace {

using Row = OptionDescriptor<ZVStatement>;
using Type = OptionValueType;

// A statement's own time-out reads back as the connection's until it is set.
constexpr OptionAccess<ZVStatement> kQueryTimeout{
    [](ZVStatement& stmt, const char* value) {
      stmt.query_timeout_sec = *ParseConnectionInteger(value);
      return arrow::Status::OK();
    },
    [](ZVStatement& stmt, std::string_view) -> arrow::Result<std::string> {
      if (stmt.query_timeout_sec) return std::to_string(*stmt.query_timeout_sec);
      ZVConnection* conn = stmt.connection.get();
      return std::to_string(conn ? conn->query_timeout_sec : 0);
    },
    nullptr};

// Parameters are positional; binding by name is refused rather than silently
// bound in column order, and the data bound for it is released with the
// refusal, so that it is never run against the next statement's placeholders.
constexpr OptionAccess<ZVStatement> kBindByName{
    [](ZVStatement& stmt, const char* value) -> arrow::Status {
      if (!*ParseBooleanText(value)) return arrow::Status::OK();
      stmt.state = WithoutBoundData(std::move(stmt.state));
      return Failure(FailureKind::kNotImplemented, "HYC00",
                     "parameters are bound by position (?); binding by name is not supported");
    },
    [](ZVStatement&, std::string_view) -> arrow::Result<std::string> {
      return std::string(ADBC_OPTION_VALUE_DISABLED);
    },
    nullptr};

// Rows so far and rows expected (0: not known) of the latest run; they only
// read back.
template <bool kExpected>
constexpr OptionAccess<ZVStatement> Progress() {
  return {nullptr,
          [](ZVStatement& stmt, std::string_view) -> arrow::Result<std::string> {
            const ExecProgressReading progress = stmt.cancel_scope->LatestProgress();
            return DoubleOptionText(
                static_cast<double>(kExpected ? progress.expected_rows : progress.rows));
          },
          nullptr};
}

// --- ingest settings (ingest/ingest_options.h) ------------------------------

template <auto Field>
constexpr OptionAccess<ZVStatement> IngestText() {
  return {[](ZVStatement& stmt, const char* value) {
            StoreOptionalText(stmt.ingest.*Field, value);
            return arrow::Status::OK();
          },
          [](ZVStatement& stmt, std::string_view key) -> arrow::Result<std::string> {
            if (!(stmt.ingest.*Field)) return OptionNotSet(std::string(key));
            return *(stmt.ingest.*Field);
          },
          nullptr};
}

// An ingest setting stored by `Store` (which checks the value) and read back
// as `Read` names it.
template <auto Store, auto Read>
constexpr OptionAccess<ZVStatement> Ingest() {
  return {[](ZVStatement& stmt, const char* value) { return Store(stmt.ingest, value); },
          [](ZVStatement& stmt, std::string_view) -> arrow::Result<std::string> {
            return std::string(Read(stmt.ingest));
          },
          nullptr};
}

// The ADBC spelling of the chosen mode; the service's own modes (upsert,
// overwrite, land) have none.
arrow::Result<std::string> AdbcModeText(ZVStatement& stmt, std::string_view key) {
  const IngestSettings& ingest = stmt.ingest;
  if (!ingest.mode_chosen) return std::string(ADBC_INGEST_OPTION_MODE_CREATE);
  if (ingest.mode != IngestMode::kAppend) return OptionNotSet(std::string(key));
  switch (ingest.creation) {
    case TableCreation::kNone: return std::string(ADBC_INGEST_OPTION_MODE_APPEND);
    case TableCreation::kCreate: return std::string(ADBC_INGEST_OPTION_MODE_CREATE);
    case TableCreation::kCreateIfMissing: return std::string(ADBC_INGEST_OPTION_MODE_CREATE_APPEND);
    case TableCreation::kReplace: return std::string(ADBC_INGEST_OPTION_MODE_REPLACE);
  }
  return OptionNotSet(std::string(key));
}

const char* ModeName(const IngestSettings& s) { return IngestModeName(s.mode); }
const char* FormatName(const IngestSettings& s) { return PayloadFormatName(s.payload_format); }
const char* CoerceText(const IngestSettings& s) { return s.coerce ? "true" : "false"; }
const char* NotTemporary(const IngestSettings&) { return ADBC_OPTION_VALUE_DISABLED; }
std::string KeyColumnsText(const IngestSettings& s) { return JoinKeyColumns(s.key_columns); }

// key, type, check, refusal, field, secret, after Init.
constexpr Row kStatementOptions[] = {
    {"adbc.zorvane.query_timeout_sec", Type::kInteger, IsConnectionInteger,
     "adbc.zorvane.query_timeout_sec must be a non-negative integer", kQueryTimeout, false, true},
    {"adbc.statement.bind_by_name", Type::kBoolean, IsBooleanText,
     "adbc.statement.bind_by_name must be true or false", kBindByName, false, true},
    {ADBC_STATEMENT_OPTION_PROGRESS, Type::kNumber, nullptr, nullptr, Progress<false>(), false,
     true},
    {ADBC_STATEMENT_OPTION_MAX_PROGRESS, Type::kNumber, nullptr, nullptr, Progress<true>(), false,
     true},
    {ADBC_INGEST_OPTION_TARGET_TABLE, Type::kText, nullptr, nullptr,
     IngestText<&IngestSettings::target_table>(), false, true},
    {ADBC_INGEST_OPTION_TARGET_DB_SCHEMA, Type::kText, nullptr, nullptr,
     IngestText<&IngestSettings::target_db_schema>(), false, true},
    {ADBC_INGEST_OPTION_TARGET_CATALOG, Type::kText, nullptr, nullptr,
     IngestText<&IngestSettings::target_catalog>(), false, true},
    {ADBC_INGEST_OPTION_MODE,
     Type::kChoice,
     nullptr,
     nullptr,
     {[](ZVStatement& stmt, const char* value) { return SetAdbcIngestMode(stmt.ingest, value); },
      AdbcModeText, nullptr},
     false,
     true},
    {ADBC_INGEST_OPTION_TEMPORARY, Type::kBoolean, nullptr, nullptr,
     Ingest<CheckIngestTemporary, NotTemporary>(), false, true},
    {"zv.ingest.mode", Type::kChoice, nullptr, nullptr, Ingest<SetServiceIngestMode, ModeName>(),
     false, true},
    {"zv.ingest.target_location", Type::kText, nullptr, nullptr,
     IngestText<&IngestSettings::target_location>(), false, true},
    {"zv.ingest.payload_format", Type::kChoice, nullptr, nullptr,
     Ingest<SetPayloadFormat, FormatName>(), false, true},
    {"zv.ingest.key_columns", Type::kList, nullptr, nullptr,
     Ingest<SetKeyColumns, KeyColumnsText>(), false, true},
    {"zv.ingest.idempotency_key", Type::kText, nullptr, nullptr,
     IngestText<&IngestSettings::idempotency_key>(), false, true},
    {"zv.ingest.coerce", Type::kBoolean, nullptr, nullptr, Ingest<SetCoerce, CoerceText>(), false,
     true},
};

}  // namespace

OptionTable<ZVStatement> StatementOptions() { return kStatementOptions; }

AdbcStatusCode StatementSetOption(AdbcStatement* statement, const char* key, const char* value,
                                  AdbcError* error) {
  return RunEntryPoint("AdbcStatementSetOption", error, [&]() -> arrow::Status {
    // Values are never logged: idempotency keys and locations can be sensitive.
    ZV_LOG(kLogInfo, "api", "AdbcStatementSetOption(stmt=%p, key=%s)",
           static_cast<void*>(statement), key ? key : "(null)");
    // An unknown key is NOT_IMPLEMENTED in every state, a released handle's
    // too.
    const Row* row = key ? FindOption(StatementOptions(), key) : nullptr;
    if (key != nullptr && (row == nullptr || !row->settable())) {
      return UnknownOptionKey(std::string("AdbcStatementSetOption: unknown key: ") + key);
    }
    ZVStatement* stmt = RecordOf<ZVStatement>(statement);
    if (stmt == nullptr) return SequenceError("AdbcStatementSetOption: statement not allocated");
    if (key == nullptr) return NullArgument("AdbcStatementSetOption: null key");
    return StoreOption(*row, *stmt, value);
  });
}

}  // namespace zv
