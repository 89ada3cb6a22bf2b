#include "metadata_engine/select_pipeline_internal.h"

#include <algorithm>

#include <arrow/array.h>
#include <arrow/array/util.h>
#include <arrow/builder.h>
#include <arrow/compute/api.h>
#include <arrow/compute/exec.h>
#include <arrow/compute/row/grouper.h>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/name_binding_internal.h"

namespace zv_sql::internal {

namespace cp = arrow::compute;
using arrow::Datum;
using arrow::Result;

Result<BatchPtr> filter_rows(const BatchPtr& input, const Expr& predicate, std::string* error) {
  ARROW_ASSIGN_OR_RAISE(Datum value, evaluate(EvalContext{input, error}, predicate));
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> mask,
                        to_predicate_mask(value, input->num_rows()));
  ARROW_ASSIGN_OR_RAISE(Datum filtered, cp::Filter(Datum(input), Datum(mask)));
  return filtered.record_batch();
}

BatchPtr keep_read_columns(const BatchPtr& input, const SelectStatement& statement) {
  std::vector<std::string_view> names;
  bool every_column = false;
  auto note = [&](const Expr& node) {
    if (const auto* ref = std::get_if<ColumnRef>(&node.node)) names.push_back(ref->name);
    // SELECT * reads every column; a subquery may read any of them.
    every_column |= std::holds_alternative<Star>(node.node) ||
                    std::holds_alternative<Exists>(node.node) ||
                    std::holds_alternative<ScalarSubquery>(node.node) ||
                    (std::holds_alternative<InList>(node.node) &&
                     std::get<InList>(node.node).subquery != nullptr);
    return false;
  };
  auto walk = [&](const ExprPtr& expr) {
    if (expr) any_node(*expr, note);
  };
  for (const ProjectionItem& item : statement.projection) walk(item.expr);
  walk(statement.where);
  for (const ExprPtr& key : statement.group_by) walk(key);
  for (const OrderItem& item : statement.order_by) walk(item.expr);
  if (every_column) return input;
  std::vector<int> kept;
  for (int i = 0; i < input->num_columns(); ++i) {
    const std::string& name = input->schema()->field(i)->name();
    if (std::any_of(names.begin(), names.end(),
                    [&](std::string_view read) { return ascii_iequals(name, read); })) {
      kept.push_back(i);
    }
  }
  if (kept.size() == static_cast<size_t>(input->num_columns())) return input;
  auto selected = input->SelectColumns(kept);
  return selected.ok() ? *selected : input;
}

std::string output_name(const ProjectionItem& item, size_t position, const arrow::Schema& input) {
  // A column keeps its own name, however the query spelled it.
  const auto* ref = std::get_if<ColumnRef>(&item.expr->node);
  const int source = ref != nullptr ? find_field(input, ref->name) : -1;
  if (item.alias) return *item.alias;
  if (source >= 0) return input.field(source)->name();
  return constant_output_name(*item.expr).value_or("expr_" + std::to_string(position));
}

Result<BatchPtr> project(const BatchPtr& input, const SelectStatement& statement,
                         std::string* error) {
  const int64_t rows = input->num_rows();
  arrow::FieldVector fields;
  arrow::ArrayVector columns;
  for (size_t position = 0; position < statement.projection.size(); ++position) {
    const ProjectionItem& item = statement.projection[position];
    if (!item.expr) return arrow::Status::Invalid("empty projection item");
    if (std::holds_alternative<Star>(item.expr->node)) {
      for (int i = 0; i < input->num_columns(); ++i) {
        fields.push_back(input->schema()->field(i));
        columns.push_back(input->column(i));
      }
      continue;
    }
    ARROW_ASSIGN_OR_RAISE(Datum value, evaluate(EvalContext{input, error}, *item.expr));
    std::shared_ptr<arrow::Array> column;
    if (value.is_array()) {
      column = value.make_array();
    } else if (value.is_scalar()) {
      ARROW_ASSIGN_OR_RAISE(column, arrow::MakeArrayFromScalar(*value.scalar(), rows));
    } else {
      return record_failure(error, "projection item evaluated to non-array, non-scalar",
                            "projection item evaluated to non-array, non-scalar");
    }
    const auto* ref = std::get_if<ColumnRef>(&item.expr->node);
    const int source = ref != nullptr ? find_field(*input->schema(), ref->name) : -1;
    std::string name = output_name(item, position, *input->schema());
    auto field = arrow::field(std::move(name), column->type(), /*nullable=*/true);
    if (source >= 0 && input->schema()->field(source)->metadata()) {
      field = field->WithMetadata(input->schema()->field(source)->metadata());
    }
    fields.push_back(std::move(field));
    columns.push_back(std::move(column));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), rows, std::move(columns));
}

Result<BatchPtr> distinct_rows(const BatchPtr& input) {
  if (input->num_rows() < 2 || input->num_columns() == 0) return input;
  std::vector<arrow::TypeHolder> types;
  for (const auto& field : input->schema()->fields()) types.emplace_back(field->type());
  ARROW_ASSIGN_OR_RAISE(std::unique_ptr<cp::Grouper> grouper, cp::Grouper::Make(types));
  ARROW_ASSIGN_OR_RAISE(cp::ExecBatch keys, cp::ExecBatch::Make(std::vector<Datum>(
                                                input->columns().begin(), input->columns().end())));
  ARROW_ASSIGN_OR_RAISE(Datum ids_datum, grouper->Consume(cp::ExecSpan(keys)));
  // The grouper's ids follow no particular order (its hash table decides), so
  // a row is the first of its group when its id has not been seen before.
  const std::shared_ptr<arrow::Array> ids_array = ids_datum.make_array();
  const auto& ids = static_cast<const arrow::UInt32Array&>(*ids_array);
  std::vector<bool> seen(grouper->num_groups(), false);
  arrow::Int64Builder first_rows;
  ARROW_RETURN_NOT_OK(first_rows.Reserve(grouper->num_groups()));
  for (int64_t row = 0; row < ids.length(); ++row) {
    const uint32_t id = ids.Value(row);
    if (id >= seen.size()) return arrow::Status::Invalid("group id out of range");
    if (seen[id]) continue;
    seen[id] = true;
    first_rows.UnsafeAppend(row);
  }
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> indices, first_rows.Finish());
  if (indices->length() == input->num_rows()) return input;
  ARROW_ASSIGN_OR_RAISE(Datum taken, cp::Take(Datum(input), Datum(indices)));
  return taken.record_batch();
}

BatchPtr apply_offset_limit(const BatchPtr& input, const SelectStatement& statement) {
  const int64_t rows = input->num_rows();
  const int64_t offset = statement.offset.value_or(0);
  const int64_t start = std::clamp<int64_t>(offset, 0, rows);
  // Computed from the clamped start, which equals n - offset for every offset
  // the slice can honour and cannot overflow for extreme values.
  const int64_t limit = statement.limit.value_or(rows - start);
  const int64_t length = std::max<int64_t>(0, std::min(rows - start, limit));
  if (start == 0 && length == rows) return input;
  return input->Slice(start, length);
}

}  // namespace zv_sql::internal
