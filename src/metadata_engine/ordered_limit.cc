// ORDER BY ... LIMIT over a large registered relation, read in the order of
// its first sort key: only the rows from the start of that order that satisfy
// WHERE and can reach the first OFFSET + LIMIT places are kept, instead of
// filtering and sorting every row. WHERE runs over just the rows read when
// its evaluation cannot fail on a value, else over every row first, so that
// it fails wherever the filter would. The rows tied with the last of them on the first key
// are all kept, and in row order, so the stable sort that follows puts exactly
// the rows the general path would into those places.
#include <algorithm>
#include <cstring>

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/compute/api.h>

#include "metadata_engine/aggregate_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/relation_indexes_internal.h"
#include "metadata_engine/select_pipeline_internal.h"

namespace zv_sql::internal {

namespace {

// Whether rows `a` and `b` of `keys` (a type orders_like_sort accepts, both
// valid) hold the same value.
bool same_value(const arrow::Array& keys, int64_t a, int64_t b) {
  switch (keys.type_id()) {
    case arrow::Type::STRING: {
      const auto& text = static_cast<const arrow::StringArray&>(keys);
      return text.GetView(a) == text.GetView(b);
    }
    case arrow::Type::LARGE_STRING: {
      const auto& text = static_cast<const arrow::LargeStringArray&>(keys);
      return text.GetView(a) == text.GetView(b);
    }
    case arrow::Type::STRING_VIEW: {
      const auto& text = static_cast<const arrow::StringViewArray&>(keys);
      return text.GetView(a) == text.GetView(b);
    }
    default: {
      // Integers, dates and timestamps: equal exactly when their bytes are.
      const int width = keys.type()->byte_width();
      const uint8_t* values = keys.data()->buffers[1]->data() + keys.offset() * width;
      return std::memcmp(values + a * width, values + b * width, width) == 0;
    }
  }
}

// Whether both rows hold the same first-key value, nulls tying with each other.
bool tied(const arrow::Array& keys, int64_t a, int64_t b) {
  if (keys.IsNull(a) || keys.IsNull(b)) return keys.IsNull(a) && keys.IsNull(b);
  return same_value(keys, a, b);
}

bool is_text(const arrow::DataType& type) { return arrow::is_string(type.id()); }

// Whether evaluating `expr` over some rows gives exactly those rows' values
// and can fail only for reasons that do not depend on the values (types,
// constants): column-to-constant comparisons, LIKE and IN of like-typed
// operands, IS NULL, NOT, AND, OR. Casts, arithmetic, functions and case
// mapping may fail on one value, so they are evaluated over every row.
bool fails_only_on_types(const Expr& expr, const arrow::Schema& schema) {
  auto column_type = [&](const ExprPtr& node) -> const arrow::DataType* {
    const auto* ref = node ? std::get_if<ColumnRef>(&node->node) : nullptr;
    const int index = ref ? find_field(schema, ref->name) : -1;
    return index >= 0 ? schema.field(index)->type().get() : nullptr;
  };
  // A constant the column's values are compared with as they are.
  auto matches = [](const arrow::DataType& column, const ExprPtr& node) {
    const auto* literal = node ? std::get_if<Literal>(&node->node) : nullptr;
    if (literal == nullptr || literal->decimal) return false;
    if (literal->type == Type::Null) return true;
    if (is_text(column)) return literal->type == Type::String;
    return arrow::is_integer(column.id()) && std::holds_alternative<int64_t>(literal->value);
  };
  auto safe = [&](const ExprPtr& node) { return node && fails_only_on_types(*node, schema); };
  return std::visit(
      Overloaded{
          [&](const Comparison& cmp) {
            const arrow::DataType* left = column_type(cmp.left);
            const arrow::DataType* right = column_type(cmp.right);
            return (left != nullptr && matches(*left, cmp.right)) ||
                   (right != nullptr && matches(*right, cmp.left));
          },
          [&](const Like& like) {
            const arrow::DataType* operand = column_type(like.operand);
            return !like.case_insensitive && operand != nullptr && is_text(*operand) &&
                   matches(*operand, like.pattern);
          },
          [&](const InList& in) {
            const arrow::DataType* operand = column_type(in.operand);
            return in.subquery == nullptr && operand != nullptr &&
                   std::all_of(in.items.begin(), in.items.end(),
                               [&](const ExprPtr& item) { return matches(*operand, item); });
          },
          [&](const Unary& unary) { return unary.op != UnaryOp::Negate && safe(unary.operand); },
          [&](const Logical& logical) { return safe(logical.left) && safe(logical.right); },
          [&](const ColumnRef&) {
            const int index = find_field(schema, std::get<ColumnRef>(expr.node).name);
            return index >= 0 && schema.field(index)->type()->id() == arrow::Type::BOOL;
          },
          [&](const Literal& literal) { return literal.type == Type::Bool; },
          [](const auto&) { return false; },
      },
      expr.node);
}

// The row at position `i` of the first key's order: its direction over the
// ascending `order` (values, then nulls), with the nulls first or last.
int64_t row_at(const arrow::UInt64Array& order, int64_t values, const OrderItem& key, int64_t i) {
  const int64_t rows = order.length();
  const int64_t nulls = rows - values;
  int64_t position;
  if (key.nulls_first) {
    position = i < nulls ? values + i : (key.descending ? rows - 1 - i : i - nulls);
  } else {
    position = i >= values ? i : (key.descending ? values - 1 - i : i);
  }
  return static_cast<int64_t>(order.Value(position));
}

// Which of `rows` satisfy WHERE: from the mask over every row when there is
// one, else by evaluating WHERE over those rows alone.
arrow::Result<std::vector<bool>> where_holds(const SelectStatement& statement,
                                             const std::shared_ptr<arrow::RecordBatch>& read,
                                             const arrow::BooleanArray* every_row,
                                             const std::vector<int64_t>& rows, std::string* error) {
  std::vector<bool> holds(rows.size(), true);
  if (!statement.where) return holds;
  const arrow::BooleanArray* mask = every_row;
  std::shared_ptr<arrow::Array> own;
  if (mask == nullptr) {
    arrow::Int64Builder indices;
    ARROW_RETURN_NOT_OK(indices.AppendValues(rows));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> index_array, indices.Finish());
    ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, arrow::compute::Take(read, index_array));
    const std::shared_ptr<arrow::RecordBatch>& some = taken.record_batch();
    ARROW_ASSIGN_OR_RAISE(arrow::Datum value, evaluate(EvalContext{some, error}, *statement.where));
    ARROW_ASSIGN_OR_RAISE(own, to_predicate_mask(value, some->num_rows()));
  }
  for (size_t k = 0; k < rows.size(); ++k) {
    const auto* m = mask != nullptr ? mask : static_cast<const arrow::BooleanArray*>(own.get());
    const int64_t at = mask != nullptr ? rows[k] : static_cast<int64_t>(k);
    holds[k] = m->IsValid(at) && m->Value(at);
  }
  return holds;
}

// The rows satisfying WHERE that reach the first `need` places, read along
// the first key's order a stretch at a time (each twice the last), up to the
// last row tied with the need-th one.
arrow::Result<std::vector<int64_t>> walk_order(const SelectStatement& statement,
                                               const arrow::UInt64Array& order,
                                               const arrow::Array& keys,
                                               const std::shared_ptr<arrow::RecordBatch>& read,
                                               const arrow::BooleanArray* every_row, int64_t need,
                                               std::string* error) {
  const OrderItem& key = statement.order_by.front();
  const int64_t rows = order.length();
  const int64_t values = rows - keys.null_count();
  std::vector<int64_t> kept;
  int64_t last = -1;  // the row that made `need`, once one has
  int64_t stretch = std::max<int64_t>(256, 2 * need);
  for (int64_t start = 0; start < rows; start += stretch, stretch *= 2) {
    std::vector<int64_t> stretch_rows;
    for (int64_t i = start; i < std::min(rows, start + stretch); ++i) {
      stretch_rows.push_back(row_at(order, values, key, i));
    }
    ARROW_ASSIGN_OR_RAISE(std::vector<bool> holds,
                          where_holds(statement, read, every_row, stretch_rows, error));
    for (size_t k = 0; k < stretch_rows.size(); ++k) {
      const int64_t row = stretch_rows[k];
      if (last >= 0 && !tied(keys, row, last)) return kept;
      if (!holds[k]) continue;
      kept.push_back(row);
      if (last < 0 && static_cast<int64_t>(kept.size()) >= need) last = row;
    }
  }
  return kept;
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::Array>> rows_reaching_limit(
    const RelationRegistry& registry, const SelectStatement& statement,
    const std::shared_ptr<arrow::RecordBatch>& batch,
    const std::shared_ptr<arrow::RecordBatch>& read, std::string* error) {
  // Grouping and DISTINCT decide their rows only after seeing all of them.
  if (is_aggregate_query(statement) || statement.distinct) return nullptr;
  const std::optional<int64_t> need = rows_needed(statement);
  if (!need || !worth_top_k(*need, batch->num_rows())) return nullptr;
  const RelationIndexes* indexes = indexes_for(registry, statement, batch);
  const std::optional<int> column =
      indexes ? first_key_input_column(statement, *batch->schema()) : std::nullopt;
  const arrow::UInt64Array* order = column ? indexes->rows_in_order(*column) : nullptr;
  if (order == nullptr) return nullptr;

  std::shared_ptr<arrow::Array> mask;
  if (statement.where && !fails_only_on_types(*statement.where, *read->schema())) {
    ARROW_ASSIGN_OR_RAISE(arrow::Datum value, evaluate(EvalContext{read, error}, *statement.where));
    ARROW_ASSIGN_OR_RAISE(mask, to_predicate_mask(value, read->num_rows()));
  }
  ARROW_ASSIGN_OR_RAISE(
      std::vector<int64_t> kept,
      walk_order(statement, *order, *batch->column(*column), read,
                 static_cast<const arrow::BooleanArray*>(mask.get()), *need, error));
  std::sort(kept.begin(), kept.end());
  arrow::Int64Builder indices;
  ARROW_RETURN_NOT_OK(indices.AppendValues(kept));
  return indices.Finish();
}

}  // namespace zv_sql::internal
