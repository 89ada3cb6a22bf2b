#include "metadata_engine/relation_indexes_internal.h"

#include <algorithm>
#include <optional>
#include <utility>

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/compute/api.h>

#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/relation_registry.h"
#include "metadata_engine/relation_resolution_internal.h"
#include "metadata_engine/select_pipeline_internal.h"
#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

namespace {

// A row number's text, or the searched text itself, for the binary search.
std::string_view view_of(const arrow::StringArray& text, uint64_t row) {
  return text.GetView(static_cast<int64_t>(row));
}
std::string_view view_of(const arrow::StringArray&, std::string_view value) { return value; }

}  // namespace

RelationIndexes::RelationIndexes(std::shared_ptr<arrow::RecordBatch> batch)
    : batch_(std::move(batch)) {
  for (int i = 0; i < batch_->num_columns(); ++i) columns_.push_back(std::make_unique<Column>());
}

std::optional<std::span<const uint64_t>> RelationIndexes::rows_equal(int column,
                                                                     std::string_view value) const {
  if (column < 0 || column >= batch_->num_columns()) return std::nullopt;
  const auto* text = dynamic_cast<const arrow::StringArray*>(batch_->column(column).get());
  const arrow::UInt64Array* order = text ? rows_in_order(column) : nullptr;
  if (order == nullptr) return std::nullopt;
  // The order sorts bytes and keeps ties in row order, with the nulls after
  // every value: equal texts are one stretch of it, in ascending rows.
  const uint64_t* begin = order->raw_values();
  const uint64_t* end = begin + (text->length() - text->null_count());
  const auto [first, last] = std::equal_range(
      begin, end, value,
      [text](const auto& a, const auto& b) { return view_of(*text, a) < view_of(*text, b); });
  return std::span<const uint64_t>(first, last);
}

const arrow::UInt64Array* RelationIndexes::rows_in_order(int column) const {
  if (column < 0 || column >= batch_->num_columns()) return nullptr;
  const std::shared_ptr<arrow::Array>& values = batch_->column(column);
  if (!orders_like_sort(*values->type())) return nullptr;
  Column& slot = *columns_[column];
  std::call_once(slot.sorted, [&] {
    // The same stable kernel ORDER BY runs, so ties keep their row order.
    arrow::compute::ArraySortOptions options(arrow::compute::SortOrder::Ascending,
                                             arrow::compute::NullPlacement::AtEnd);
    auto order = arrow::compute::CallFunction("array_sort_indices", {values}, &options);
    // Without an order the statement takes the general path.
    if (order.ok()) {
      slot.order = std::static_pointer_cast<arrow::UInt64Array>(order->make_array());
    }
  });
  return slot.order.get();
}

}  // namespace zv_sql::internal

namespace zv_sql::internal {

namespace {

// The column and text of `column = 'text'` (either way round), or nothing.
std::optional<std::pair<const ColumnRef*, const std::string*>> column_equals_text(
    const Expr& expr) {
  const auto* cmp = std::get_if<Comparison>(&expr.node);
  if (cmp == nullptr || cmp->op != CompareOp::Eq || !cmp->left || !cmp->right) return std::nullopt;
  for (const auto& [one, other] : {std::pair{&cmp->left, &cmp->right}, {&cmp->right, &cmp->left}}) {
    const auto* column = std::get_if<ColumnRef>(&(*one)->node);
    const auto* literal = std::get_if<Literal>(&(*other)->node);
    if (column == nullptr || literal == nullptr || literal->type != Type::String) continue;
    if (const auto* text = std::get_if<std::string>(&literal->value)) {
      return std::pair{column, text};
    }
  }
  return std::nullopt;
}

void collect_conjuncts(const Expr& expr, std::vector<const Expr*>& out) {
  if (const auto* logical = std::get_if<Logical>(&expr.node);
      logical != nullptr && logical->op == LogicalOp::And && logical->left && logical->right) {
    collect_conjuncts(*logical->left, out);
    collect_conjuncts(*logical->right, out);
    return;
  }
  out.push_back(&expr);
}

}  // namespace

const RelationIndexes* indexes_for(const RelationRegistry& registry,
                                   const SelectStatement& statement,
                                   const std::shared_ptr<arrow::RecordBatch>& batch) {
  const auto* ref = statement.from ? std::get_if<RelationRef>(&statement.from->node) : nullptr;
  const CachedRelation* relation = ref ? resolve_relation(registry, *ref) : nullptr;
  const RelationIndexes* indexes = relation ? relation->indexes.get() : nullptr;
  // Row numbers are the registered batch's: any other batch has none.
  return indexes != nullptr && indexes->batch() == batch ? indexes : nullptr;
}

arrow::Result<std::shared_ptr<arrow::Array>> rows_named_by_equalities(
    const RelationRegistry& registry, const SelectStatement& statement,
    const std::shared_ptr<arrow::RecordBatch>& batch) {
  const RelationIndexes* indexes =
      statement.where ? indexes_for(registry, statement, batch) : nullptr;
  if (indexes == nullptr) return nullptr;
  std::vector<const Expr*> conjuncts;
  collect_conjuncts(*statement.where, conjuncts);
  std::optional<std::span<const uint64_t>> fewest;
  for (const Expr* conjunct : conjuncts) {
    const auto equality = column_equals_text(*conjunct);
    if (!equality) continue;
    const int column = find_field(*batch->schema(), equality->first->name);
    const auto rows = indexes->rows_equal(column, *equality->second);
    if (rows && (!fewest || rows->size() < fewest->size())) fewest = rows;
  }
  // Taking most of the rows one by one costs more than the filter's scan.
  if (!fewest || static_cast<int64_t>(fewest->size()) * 4 > batch->num_rows()) return nullptr;
  arrow::Int64Builder indices;
  ARROW_RETURN_NOT_OK(indices.Reserve(static_cast<int64_t>(fewest->size())));
  for (const uint64_t row : *fewest) indices.UnsafeAppend(static_cast<int64_t>(row));
  return indices.Finish();
}

}  // namespace zv_sql::internal
