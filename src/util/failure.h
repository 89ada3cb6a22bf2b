// Failures in the driver's own terms. Code below the ADBC entry points
// returns arrow::Status carrying a FailureDetail; the entry points turn its
// kind into the ADBC status code, so no lower layer depends on the ADBC API.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

// What kind of failure a host is told about (one per ADBC status class).
enum class FailureKind : uint8_t {
  kInvalidArgument,
  kInvalidState,
  kInvalidData,
  kNotFound,
  kAlreadyExists,
  kNotImplemented,
  kIntegrity,
  kUnauthenticated,
  kUnauthorized,
  kTimeout,
  kCancelled,
  kIo,
  kInternal,
};

// Whose failure a server's SQLSTATE describes: a statement's, or a load's.
// Both are classified by the same table; a load differs only in the few
// states the ingest service gives a verdict of its own, and in reporting the
// states nobody lists as HY000.
enum class SqlStateRules : uint8_t { kStatement, kIngest };

struct SqlStateVerdict {
  FailureKind kind;
  std::string sqlstate;  // what the host is told
};

// The one table from SQLSTATE to failure kind. Pure; unknown states are I/O
// failures, as every server or transport failure used to be.
SqlStateVerdict ClassifySqlState(std::string_view sqlstate, SqlStateRules rules);

// The SQLSTATE an HTTP status says by itself (a refused login, a refused
// permission, a service out of resources); empty when the status says no
// more than that the request failed, and the server's text then decides.
std::string_view SqlStateOfHttpStatus(long http_status);

class FailureDetail : public arrow::StatusDetail {
 public:
  enum class Origin : uint8_t {
    kDriver,  // detected here, with its own SQLSTATE
    // The transport's or a server's failure: the SQLSTATE that what happened
    // says (an HTTP status, a libcurl result), or empty when nothing said
    // one, and the text decides where the host is told.
    kClassified,
    kServer,  // a server's failure with its SQLSTATE and its own error code
  };

  FailureDetail(FailureKind kind, std::string sqlstate, Origin origin, std::string server_code = {})
      : kind_(kind),
        sqlstate_(std::move(sqlstate)),
        origin_(origin),
        server_code_(std::move(server_code)) {}

  const char* type_id() const override;
  std::string ToString() const override;

  FailureKind kind() const { return kind_; }
  const std::string& sqlstate() const { return sqlstate_; }
  Origin origin() const { return origin_; }
  const std::string& server_code() const { return server_code_; }

 private:
  FailureKind kind_;
  std::string sqlstate_;
  Origin origin_;
  std::string server_code_;
};

// The detail of `status` when it has one, else null.
const FailureDetail* FailureDetailOf(const arrow::Status& status);

// A failure the driver detects itself, with its own message and SQLSTATE.
arrow::Status Failure(FailureKind kind, const char* sqlstate, std::string message);

// A failure the transport or a server reported. `sqlstate` is what the
// reporter knew; empty: the SQLSTATE is derived from the text where the
// failure is reported.
arrow::Status ClassifiedFailure(FailureKind kind, std::string message, std::string sqlstate = {});

// `status` reported as a failure of `kind`: its message, and whatever its
// detail already knows (SQLSTATE, origin, server code). A status without a
// detail becomes a classified failure whose text decides its SQLSTATE.
arrow::Status AsFailureOf(FailureKind kind, const arrow::Status& status);

// A server refused a load: its SQLSTATE decides the kind by the ingest rules.
arrow::Status IngestRefusal(std::string_view sqlstate, std::string message);

// A server's failure of a statement, with the SQLSTATE it sent (already
// checked or derived by the caller) and its own error code.
arrow::Status ServerStatementFailure(std::string message, std::string sqlstate,
                                     std::string server_code);

// Shorthands for the SQLSTATE/status pairs the handles use everywhere.
inline arrow::Status NullArgument(std::string message) {
  return Failure(FailureKind::kInvalidArgument, "HY009", std::move(message));
}
inline arrow::Status InvalidOptionValue(std::string message) {
  return Failure(FailureKind::kInvalidArgument, "HY009", std::move(message));
}
inline arrow::Status SequenceError(std::string message) {
  return Failure(FailureKind::kInvalidState, "HY010", std::move(message));
}
inline arrow::Status OutOfMemory(std::string message) {
  return Failure(FailureKind::kInternal, "HY001", std::move(message));
}
inline arrow::Status UnknownOptionKey(std::string message) {
  return Failure(FailureKind::kNotImplemented, "HYC00", std::move(message));
}

}  // namespace zv
