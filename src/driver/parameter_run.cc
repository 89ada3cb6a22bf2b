#include "driver/parameter_run.h"

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <optional>
#include <vector>

#include "driver/adbc_status.h"
#include "driver/sql_literal.h"
#include "driver/sql_placeholders.h"
#include "util/format.h"

namespace zv {

namespace {

// Rows of a folded INSERT go to the service in statements of about this many
// bytes: well below the service's request limit, large enough that the round
// trip is paid once per thousands of small rows.
constexpr size_t kFoldedStatementBytes = 256 * 1024;

arrow::Status Cancelled() {
  return Failure(FailureKind::kCancelled, "57014", "the statement was cancelled");
}

// Names the failing parameter row (counted from 1) in front of the failure,
// keeping its status and SQLSTATE.
arrow::Status AtRow(const arrow::Status& failure, int64_t row) {
  return failure.WithMessage("parameter row " + std::to_string(row + 1) + ": " + failure.message());
}

arrow::Status CheckShape(const arrow::Schema& schema, size_t placeholders) {
  if (static_cast<size_t>(schema.num_fields()) != placeholders) {
    return Failure(FailureKind::kInvalidArgument, "07002",
                   Format("the statement has %zu parameter placeholder(s) but %d column(s) "
                          "are bound",
                          placeholders, schema.num_fields()));
  }
  for (const auto& field : schema.fields()) {
    arrow::Status renderable = CheckRenderableType(*field->type());
    if (!renderable.ok()) {
      return renderable.WithMessage("parameter \"" + field->name() + "\": " + renderable.message());
    }
  }
  return arrow::Status::OK();
}

arrow::Result<std::vector<std::string>> RowLiterals(const arrow::RecordBatch& batch, int64_t row) {
  std::vector<std::string> literals;
  literals.reserve(static_cast<size_t>(batch.num_columns()));
  for (int c = 0; c < batch.num_columns(); ++c) {
    ARROW_ASSIGN_OR_RAISE(std::string literal, RenderSqlLiteral(*batch.column(c), row));
    literals.push_back(std::move(literal));
  }
  return literals;
}

std::string RowTuple(const std::vector<std::string>& literals) {
  std::string tuple = "(";
  for (size_t i = 0; i < literals.size(); ++i) {
    if (i > 0) tuple += ", ";
    tuple += literals[i];
  }
  tuple += ')';
  return tuple;
}

// Sums row counts; unknown counts (-1) do not take part, all unknown stays -1.
struct RowCount {
  int64_t total = -1;
  void Add(int64_t rows) {
    if (rows >= 0) total = (total < 0 ? 0 : total) + rows;
  }
};

// The rows of a run without a result, with the first row's global number.
class UpdateRun {
 public:
  UpdateRun(const std::string& sql, std::vector<size_t> positions,
            std::optional<SimpleInsert> insert, const SqlRunner& run,
            const std::function<bool()>& cancelled)
      : sql_(sql),
        positions_(std::move(positions)),
        insert_(std::move(insert)),
        run_(run),
        cancelled_(cancelled) {}

  arrow::Status AddBatch(const arrow::RecordBatch& batch) {
    for (int64_t r = 0; r < batch.num_rows(); ++r) {
      auto literals = RowLiterals(batch, r);
      if (!literals.ok()) return AtRow(literals.status(), next_row_);
      if (insert_) {
        pending_.push_back(RowTuple(*literals));
        pending_bytes_ += pending_.back().size() + 2;
        ++next_row_;
        if (insert_->head.size() + pending_bytes_ >= kFoldedStatementBytes) {
          ARROW_RETURN_NOT_OK(FlushFolded());
        }
      } else {
        ARROW_RETURN_NOT_OK(RunOne(SubstituteParameters(sql_, positions_, *literals), next_row_));
        ++next_row_;
      }
    }
    return arrow::Status::OK();
  }

  arrow::Status Finish() { return FlushFolded(); }
  int64_t rows_affected() const { return count_.total; }

 private:
  arrow::Status RunOne(const std::string& text, int64_t row) {
    if (cancelled_()) return Cancelled();
    int64_t rows = -1;
    arrow::Status status = run_(text, nullptr, &rows);
    if (!status.ok()) return AtRow(status, row);
    count_.Add(rows);
    return arrow::Status::OK();
  }

  // One statement for all pending rows. The service applies a statement
  // whole or not at all, so when it fails the rows are run one by one: the
  // ones before the culprit take effect and the culprit is named, exactly
  // as if every row had gone on its own.
  arrow::Status FlushFolded() {
    if (pending_.empty()) return arrow::Status::OK();
    const int64_t first = next_row_ - static_cast<int64_t>(pending_.size());
    std::vector<std::string> rows = std::move(pending_);
    pending_.clear();
    pending_bytes_ = 0;
    std::string text = insert_->head;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i > 0) text += ", ";
      text += rows[i];
    }
    if (cancelled_()) return Cancelled();
    int64_t affected = -1;
    arrow::Status status = run_(text, nullptr, &affected);
    if (status.ok()) {
      count_.Add(affected);
      return status;
    }
    if (rows.size() == 1 || !DependsOnRowData(status)) return AtRow(status, first);
    for (size_t i = 0; i < rows.size(); ++i) {
      ARROW_RETURN_NOT_OK(RunOne(insert_->head + rows[i], first + static_cast<int64_t>(i)));
    }
    return arrow::Status::OK();
  }

  // Only a refusal of the data itself is retried row by row; anything else
  // (syntax, a lost connection after the server may have applied the
  // statement) would fail or double the rows.
  static bool DependsOnRowData(const arrow::Status& status) {
    const FailureDetail* detail = FailureDetailOf(status);
    return detail && detail->origin() == FailureDetail::Origin::kServer &&
           (detail->kind() == FailureKind::kInvalidData ||
            detail->kind() == FailureKind::kIntegrity);
  }

  const std::string& sql_;
  std::vector<size_t> positions_;
  std::optional<SimpleInsert> insert_;
  const SqlRunner& run_;
  const std::function<bool()>& cancelled_;
  std::vector<std::string> pending_;
  size_t pending_bytes_ = 0;
  int64_t next_row_ = 0;
  RowCount count_;
};

// Every parameter row of `reader` as its literals, in order.
arrow::Result<std::vector<std::vector<std::string>>> AllRowLiterals(
    arrow::RecordBatchReader& reader) {
  std::vector<std::vector<std::string>> rows;
  std::shared_ptr<arrow::RecordBatch> batch;
  while (true) {
    ARROW_RETURN_NOT_OK(reader.ReadNext(&batch));
    if (!batch) return rows;
    for (int64_t r = 0; r < batch->num_rows(); ++r) {
      auto literals = RowLiterals(*batch, r);
      if (!literals.ok()) return AtRow(literals.status(), static_cast<int64_t>(rows.size()));
      rows.push_back(std::move(*literals));
    }
  }
}

arrow::Status SchemaMismatch(int64_t row, const arrow::Schema& first, const arrow::Schema& got) {
  return Failure(
      FailureKind::kInvalidArgument, "42804",
      Format("parameter row %lld gives a result of another schema than row 1 "
             "(%s instead of %s); the rows of one result stream share one schema",
             static_cast<long long>(row) + 1, got.ToString().c_str(), first.ToString().c_str()));
}

// A query run once per parameter row, its results as one stream.
arrow::Status RunQueryRows(const std::string& sql, const std::vector<size_t>& positions,
                           arrow::RecordBatchReader& reader, ArrowArrayStream* out,
                           const ParameterRunners& runners) {
  ARROW_ASSIGN_OR_RAISE(auto rows, AllRowLiterals(reader));
  if (rows.empty()) return runners.no_rows(sql, out);
  if (rows.size() == 1) {
    return runners.run(SubstituteParameters(sql, positions, rows.front()), out, nullptr);
  }
  WholeResult all;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (runners.cancelled()) return Cancelled();
    auto result = runners.collect(SubstituteParameters(sql, positions, rows[r]));
    if (!result.ok()) return AtRow(result.status(), static_cast<int64_t>(r));
    if (r == 0) {
      all.schema = result->schema;
    } else if (!result->schema->Equals(*all.schema, /*check_metadata=*/false)) {
      return SchemaMismatch(static_cast<int64_t>(r), *all.schema, *result->schema);
    }
    for (auto& batch : result->batches) all.batches.push_back(std::move(batch));
  }
  return runners.publish(std::move(all), out);
}

}  // namespace

arrow::Result<size_t> CountParameters(const std::string& sql) {
  ARROW_ASSIGN_OR_RAISE(auto positions, FindPlaceholders(sql));
  return positions.size();
}

arrow::Status RunWithParameters(const std::string& sql, OwnedArrowStream& bound,
                                ArrowArrayStream* out, int64_t* rows_affected,
                                const ParameterRunners& runners) {
  ARROW_ASSIGN_OR_RAISE(std::vector<size_t> positions, FindPlaceholders(sql));
  auto imported = arrow::ImportRecordBatchReader(bound.get());
  bound.Reset();
  if (!imported.ok()) {
    return Failure(FailureKind::kInvalidArgument, "22023",
                   "bound parameters could not be read: " + imported.status().message());
  }
  std::shared_ptr<arrow::RecordBatchReader> reader = std::move(*imported);
  ARROW_RETURN_NOT_OK(CheckShape(*reader->schema(), positions.size()));

  if (out != nullptr) return RunQueryRows(sql, positions, *reader, out, runners);

  UpdateRun update(sql, positions, MatchSimpleInsert(sql, positions), runners.run,
                   runners.cancelled);
  std::shared_ptr<arrow::RecordBatch> batch;
  while (true) {
    ARROW_RETURN_NOT_OK(reader->ReadNext(&batch));
    if (!batch) break;
    ARROW_RETURN_NOT_OK(update.AddBatch(*batch));
  }
  ARROW_RETURN_NOT_OK(update.Finish());
  if (rows_affected != nullptr) *rows_affected = update.rows_affected();
  return arrow::Status::OK();
}

}  // namespace zv
