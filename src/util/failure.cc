#include "util/failure.h"

#include <memory>
#include <optional>

namespace zv {

namespace {

using Kind = FailureKind;

struct SqlStateRule {
  std::string_view prefix;  // a whole SQLSTATE or its two-character class
  Kind kind;
  // The few states the ingest service documents with a verdict of its own.
  std::optional<Kind> ingest = std::nullopt;
};

// Whole states first, then classes: the first rule whose prefix starts the
// state decides, for statements and loads alike.
constexpr SqlStateRule kRules[] = {
    {"42S02", Kind::kNotFound},       // table not found
    {"42P01", Kind::kNotFound},       // undefined table
    {"42S22", Kind::kNotFound},       // column not found
    {"42S01", Kind::kAlreadyExists},  // table already exists
    {"42P07", Kind::kAlreadyExists},  // duplicate table
    {"42501", Kind::kUnauthorized},   // insufficient privilege
    {"57014", Kind::kCancelled},      // query cancelled
    {"HYT00", Kind::kTimeout},
    {"HYT01", Kind::kTimeout},
    {"HY009", Kind::kInvalidArgument},
    {"HY010", Kind::kInvalidState},
    {"HY001", Kind::kInternal},
    {"HYC00", Kind::kNotImplemented},
    // A refused login of a load is reported as a refusal of the load itself,
    // and the service's resource and system errors as its own fault.
    {"28000", Kind::kUnauthenticated, Kind::kUnauthorized},
    {"53000", Kind::kIo, Kind::kInternal},
    {"53400", Kind::kIo, Kind::kInternal},
    {"58000", Kind::kIo, Kind::kInternal},
    {"40001", Kind::kIo},
    {"58030", Kind::kIo},
    {"07", Kind::kInvalidArgument},  // dynamic SQL error (parameter counts)
    {"0A", Kind::kNotImplemented},   // feature not supported
    {"08", Kind::kIo},               // connection exception
    {"22", Kind::kInvalidData},      // data exception
    {"23", Kind::kIntegrity},        // integrity constraint violation
    {"28", Kind::kUnauthenticated},  // invalid authorisation
    {"42", Kind::kInvalidArgument},  // syntax error or access rule violation
};

}  // namespace

SqlStateVerdict ClassifySqlState(std::string_view sqlstate, SqlStateRules rules) {
  if (sqlstate.size() == 5) {
    for (const auto& rule : kRules) {
      if (sqlstate.substr(0, rule.prefix.size()) != rule.prefix) continue;
      const Kind kind =
          rules == SqlStateRules::kIngest ? rule.ingest.value_or(rule.kind) : rule.kind;
      return {kind, std::string(sqlstate)};
    }
  }
  // The ingest service reports states it does not list as the generic one.
  if (rules == SqlStateRules::kIngest) return {Kind::kIo, "HY000"};
  return {Kind::kIo, std::string(sqlstate)};
}

std::string_view SqlStateOfHttpStatus(long http_status) {
  switch (http_status) {
    case 401: return "28000";  // the credentials or the token were refused
    case 403: return "42501";  // authenticated, but not allowed
    case 503: return "53000";  // the service is out of capacity for now
    default: return {};
  }
}

const char* FailureDetail::type_id() const { return "zv::FailureDetail"; }

std::string FailureDetail::ToString() const {
  return "failure kind " + std::to_string(static_cast<int>(kind_)) + ", SQLSTATE " + sqlstate_;
}

const FailureDetail* FailureDetailOf(const arrow::Status& status) {
  return dynamic_cast<const FailureDetail*>(status.detail().get());
}

arrow::Status Failure(FailureKind kind, const char* sqlstate, std::string message) {
  return arrow::Status(
      arrow::StatusCode::UnknownError, std::move(message),
      std::make_shared<FailureDetail>(kind, sqlstate, FailureDetail::Origin::kDriver));
}

arrow::Status ClassifiedFailure(FailureKind kind, std::string message, std::string sqlstate) {
  return arrow::Status(arrow::StatusCode::IOError, std::move(message),
                       std::make_shared<FailureDetail>(kind, std::move(sqlstate),
                                                       FailureDetail::Origin::kClassified));
}

arrow::Status AsFailureOf(FailureKind kind, const arrow::Status& status) {
  const FailureDetail* known = FailureDetailOf(status);
  if (known == nullptr) return ClassifiedFailure(kind, status.message());
  return arrow::Status(status.code(), status.message(),
                       std::make_shared<FailureDetail>(kind, known->sqlstate(), known->origin(),
                                                       known->server_code()));
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
  return arrow::Status(
      arrow::StatusCode::IOError, std::move(message),
      std::make_shared<FailureDetail>(kind, std::move(sqlstate), FailureDetail::Origin::kServer,
                                      std::move(server_code)));
}

}  // namespace zv
