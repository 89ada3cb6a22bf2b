// Rows of a registered relation by the exact text of one column, built the
// first time a statement compares that column with a constant, so that
// `table_schema = 'x' AND table_name = 'y'` over a large catalog reads the
// few rows it names instead of every row.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>

namespace zv_sql::internal {

class EqualityIndexes {
 public:
  explicit EqualityIndexes(std::shared_ptr<arrow::RecordBatch> batch);

  const std::shared_ptr<arrow::RecordBatch>& batch() const { return batch_; }

  // The rows, in ascending order, whose column `column` holds exactly the
  // bytes of `value` (none for a null or a different value); null when the
  // column is not plain UTF-8 text. Safe to call from several threads.
  const std::vector<int64_t>* rows_equal(int column, std::string_view value) const;

 private:
  struct Column {
    std::once_flag built;
    std::unordered_map<std::string_view, std::vector<int64_t>> rows;
  };

  std::shared_ptr<arrow::RecordBatch> batch_;
  std::vector<std::unique_ptr<Column>> columns_;
};

}  // namespace zv_sql::internal

namespace zv_sql {
struct SelectStatement;
class RelationRegistry;
}  // namespace zv_sql

namespace zv_sql::internal {

// The rows of `batch` (the statement's FROM relation as registered) that
// satisfy the most selective `column = 'text'` among the top-level AND terms
// of WHERE, in ascending order; null when no index applies or every row
// would be kept. The whole WHERE still runs on those rows, so this only skips
// rows it would drop.
arrow::Result<std::shared_ptr<arrow::Array>> rows_named_by_equalities(
    const RelationRegistry& registry, const SelectStatement& statement,
    const std::shared_ptr<arrow::RecordBatch>& batch);

}  // namespace zv_sql::internal
