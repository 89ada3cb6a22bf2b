// Lookup structures over one registered relation, each built the first time a
// statement can use it and kept for the relation's lifetime (one installed
// snapshot): the rows in the order of a column, 8 bytes a row, so that ORDER
// BY ... LIMIT reads rows from the start of that order until the limit is
// reached instead of sorting every row, and so that
// `table_schema = 'x' AND table_name = 'y'` over a large catalog finds the few
// rows it names by a binary search instead of reading every row.
#pragma once

#include <memory>
#include <optional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/array.h>
#include <arrow/record_batch.h>
#include <arrow/result.h>

namespace zv_sql::internal {

class RelationIndexes {
 public:
  explicit RelationIndexes(std::shared_ptr<arrow::RecordBatch> batch);

  const std::shared_ptr<arrow::RecordBatch>& batch() const { return batch_; }

  // The rows, in ascending order, whose column `column` holds exactly the
  // bytes of `value` (none for a null or a different value); nothing when the
  // column is not plain UTF-8 text. Safe to call from several threads.
  std::optional<std::span<const uint64_t>> rows_equal(int column, std::string_view value) const;

  // The row numbers sorted by column `column`'s values as ORDER BY ascending
  // sorts them (ties in row order), its nulls after every value; null when the
  // column's type has no such order here. Safe to call from several threads.
  const arrow::UInt64Array* rows_in_order(int column) const;

 private:
  struct Column {
    std::once_flag sorted;
    std::shared_ptr<arrow::UInt64Array> order;
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

// The indexes of the statement's FROM relation when `batch` is that
// relation's registered batch, whose row numbers they hold; null otherwise.
const RelationIndexes* indexes_for(const RelationRegistry& registry,
                                   const SelectStatement& statement,
                                   const std::shared_ptr<arrow::RecordBatch>& batch);

// The rows of `batch` (the statement's FROM relation as registered) that
// satisfy the most selective `column = 'text'` among the top-level AND terms
// of WHERE, in ascending order; null when no index applies or more than a
// quarter of the rows would be kept. The whole WHERE still runs on those rows, so this only skips
// rows it would drop.
arrow::Result<std::shared_ptr<arrow::Array>> rows_named_by_equalities(
    const RelationRegistry& registry, const SelectStatement& statement,
    const std::shared_ptr<arrow::RecordBatch>& batch);

// For ORDER BY ... LIMIT over `batch` (the FROM relation as registered) by a
// column passed on unchanged: the rows satisfying WHERE that can reach the
// first OFFSET + LIMIT sorted places, read in the order of that column until
// enough are found, with every row tied with the last of them, in ascending
// row order; null when the relation's order does not apply. Every row it
// names satisfies WHERE, evaluated over `read` (`batch` with the columns the
// statement reads); a WHERE that could fail on some value is evaluated over
// every row, so that it fails wherever the filter would.
arrow::Result<std::shared_ptr<arrow::Array>> rows_reaching_limit(
    const RelationRegistry& registry, const SelectStatement& statement,
    const std::shared_ptr<arrow::RecordBatch>& batch,
    const std::shared_ptr<arrow::RecordBatch>& read, std::string* error);

}  // namespace zv_sql::internal
