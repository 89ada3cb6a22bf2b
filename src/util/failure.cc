#include "util/failure.h"

#include <memory>
#include <optional>

namespace zv {

namespace {

using Kind = FailureKind;

struct SqlStateRule {
  std::string_view prefix;  // a whole SQLSTATE or its two-character class
  Kind statement;
  std::optional<Kind> ingest;  // the ingest rules list whole states only
};

// Whole states first, then classes: the first rule whose prefix starts the
// state (and that has a verdict under the rules asked for) decides.
constexpr SqlStateRule kRules[] = {
    {"42S02", Kind::kNotFound, Kind::kNotFound},            // table not found
    {"42P01", Kind::kNotFound, std::nullopt},               // undefined table
    {"42S22", Kind::kNotFound, Kind::kInvalidArgument},     // column not found
    {"42S01", Kind::kAlreadyExists, Kind::kAlreadyExists},  // table already exists
    {"42P07", Kind::kAlreadyExists, std::nullopt},          // duplicate table
    {"42S21", Kind::kInvalidArgument, Kind::kInvalidArgument},  // column already exists
    {"42501", Kind::kUnauthorized, Kind::kUnauthorized},    // insufficient privilege
    {"57014", Kind::kCancelled, std::nullopt},              // query cancelled
    {"HYT00", Kind::kTimeout, Kind::kTimeout},
    {"HYT01", Kind::kTimeout, std::nullopt},
    {"HY009", Kind::kInvalidArgument, std::nullopt},
    {"HY010", Kind::kInvalidState, std::nullopt},
    {"HY001", Kind::kInternal, std::nullopt},
    {"HYC00", Kind::kNotImplemented, std::nullopt},
    // A value the target column cannot take is the caller's data for a load.
    {"22018", Kind::kInvalidData, Kind::kInvalidArgument},
    {"22023", Kind::kInvalidData, Kind::kInvalidArgument},
    {"23000", Kind::kIntegrity, Kind::kIntegrity},
    // Resources and system errors: a load reports them as the server's fault.
    {"53000", Kind::kIo, Kind::kInternal},
    {"53400", Kind::kIo, Kind::kInternal},
    {"58000", Kind::kIo, Kind::kInternal},
    {"40001", Kind::kIo, Kind::kIo},
    {"58030", Kind::kIo, Kind::kIo},
    {"08000", Kind::kIo, Kind::kIo},
    {"08001", Kind::kIo, Kind::kIo},
    {"08006", Kind::kIo, Kind::kIo},
    {"28000", Kind::kUnauthenticated, Kind::kUnauthorized},
    {"07", Kind::kInvalidArgument, std::nullopt},  // dynamic SQL error (parameter counts)
    {"0A", Kind::kNotImplemented, std::nullopt},   // feature not supported
    {"08", Kind::kIo, std::nullopt},               // connection exception
    {"22", Kind::kInvalidData, std::nullopt},      // data exception
    {"23", Kind::kIntegrity, std::nullopt},        // integrity constraint violation
    {"28", Kind::kUnauthenticated, std::nullopt},  // invalid authorisation
    {"42", Kind::kInvalidArgument, std::nullopt},  // syntax error or access rule violation
};

std::optional<Kind> VerdictOf(const SqlStateRule& rule, SqlStateRules rules) {
  switch (rules) {
    case SqlStateRules::kStatement:
      return rule.statement;
    case SqlStateRules::kIngest:
      return rule.ingest;
  }
  return std::nullopt;
}

}  // namespace

SqlStateVerdict ClassifySqlState(std::string_view sqlstate, SqlStateRules rules) {
  if (sqlstate.size() == 5) {
    for (const auto& rule : kRules) {
      if (sqlstate.substr(0, rule.prefix.size()) != rule.prefix) continue;
      if (std::optional<Kind> kind = VerdictOf(rule, rules)) return {*kind, std::string(sqlstate)};
    }
  }
  if (rules == SqlStateRules::kIngest) return {Kind::kIo, "HY000"};
  return {Kind::kIo, std::string(sqlstate)};
}

const char* FailureDetail::type_id() const { return "zv::FailureDetail"; }

std::string FailureDetail::ToString() const {
  return "failure kind " + std::to_string(static_cast<int>(kind_)) + ", SQLSTATE " + sqlstate_;
}

const FailureDetail* FailureDetailOf(const arrow::Status& status) {
  return dynamic_cast<const FailureDetail*>(status.detail().get());
}

arrow::Status Failure(FailureKind kind, const char* sqlstate, std::string message) {
  return arrow::Status(arrow::StatusCode::UnknownError, std::move(message),
                       std::make_shared<FailureDetail>(kind, sqlstate,
                                                       FailureDetail::Origin::kDriver));
}

arrow::Status ClassifiedFailure(FailureKind kind, std::string message) {
  return arrow::Status(arrow::StatusCode::IOError, std::move(message),
                       std::make_shared<FailureDetail>(kind, "",
                                                       FailureDetail::Origin::kClassified));
}

arrow::Status IngestRefusal(std::string_view sqlstate, std::string message) {
  SqlStateVerdict verdict = ClassifySqlState(sqlstate, SqlStateRules::kIngest);
  return arrow::Status(arrow::StatusCode::UnknownError, std::move(message),
                       std::make_shared<FailureDetail>(verdict.kind, std::move(verdict.sqlstate),
                                                       FailureDetail::Origin::kDriver));
}

arrow::Status ServerStatementFailure(std::string message, std::string sqlstate,
                                     std::string server_code) {
  const FailureKind kind = ClassifySqlState(sqlstate, SqlStateRules::kStatement).kind;
  return arrow::Status(arrow::StatusCode::IOError, std::move(message),
                       std::make_shared<FailureDetail>(kind, std::move(sqlstate),
                                                       FailureDetail::Origin::kServer,
                                                       std::move(server_code)));
}

}  // namespace zv
