// ORDER BY: each item becomes one sort key column, taken from the output or
// from the rows the output was projected from.
#include <algorithm>
#include <limits>
#include <optional>

#include <arrow/compute/api.h>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/select_pipeline_internal.h"

namespace zv_sql::internal {

namespace cp = arrow::compute;
using arrow::Result;

int match_output_name(const std::vector<std::string>& output_names, std::string_view name) {
  int exact = -1, folded = -1, exact_count = 0, folded_count = 0;
  for (size_t i = 0; i < output_names.size(); ++i) {
    if (output_names[i] == name) {
      exact = static_cast<int>(i);
      ++exact_count;
    } else if (ascii_iequals(output_names[i], name)) {
      folded = static_cast<int>(i);
      ++folded_count;
    }
  }
  if (exact_count > 1) return -2;
  if (exact_count == 1) return exact;
  if (folded_count > 1) return -2;
  return folded;
}

namespace {

std::vector<std::string> field_names(const arrow::Schema& schema) {
  std::vector<std::string> names;
  for (const auto& field : schema.fields()) names.push_back(field->name());
  return names;
}

// The output column an ORDER BY item sorts by, or -1 for a column of the rows
// the output was projected from.
Result<int> key_output_column(const OrderItem& item, const std::vector<std::string>& output_names,
                              std::string* error) {
  if (item.is_ordinal) {
    if (item.ordinal < 1 || item.ordinal > static_cast<int64_t>(output_names.size())) {
      return record_failure(error, "ORDER BY ordinal out of range",
                            "ORDER BY ordinal out of range");
    }
    return static_cast<int>(item.ordinal - 1);
  }
  const auto* ref = item.expr ? std::get_if<ColumnRef>(&item.expr->node) : nullptr;
  if (ref == nullptr) {
    return record_failure(error, "ORDER BY <expression> is not supported in the metadata path",
                          "ORDER BY expression");
  }
  if (!ref->qualifier.empty()) return -1;
  const int index = match_output_name(output_names, ref->name);
  if (index == -2)
    return decline("ORDER BY name matching several output columns is left to compute");
  return index;
}

// The values one ORDER BY item sorts by, one per output row.
Result<std::shared_ptr<arrow::Array>> sort_key(const OrderItem& item, const BatchPtr& output,
                                               const BatchPtr& input,
                                               const std::vector<std::string>& output_names,
                                               std::string* error) {
  ARROW_ASSIGN_OR_RAISE(const int index, key_output_column(item, output_names, error));
  if (index >= 0) return output->column(index);
  if (!input)
    return decline("ORDER BY a column outside the select list of this query is left to compute");
  const std::string& name = std::get<ColumnRef>(item.expr->node).name;
  if (find_field(*input->schema(), name) < 0) {
    return record_failure(error, "ORDER BY references unknown column: " + name,
                          "ORDER BY unknown column");
  }
  ARROW_ASSIGN_OR_RAISE(arrow::Datum value, evaluate(EvalContext{input, error}, *item.expr));
  return value.make_array();
}

}  // namespace

std::optional<int64_t> rows_needed(const SelectStatement& statement) {
  if (!statement.limit || *statement.limit < 0) return std::nullopt;
  const int64_t offset = std::max<int64_t>(0, statement.offset.value_or(0));
  if (*statement.limit > std::numeric_limits<int64_t>::max() - offset) return std::nullopt;
  return offset + *statement.limit;
}

std::optional<int> first_key_input_column(const SelectStatement& statement,
                                          const arrow::Schema& input) {
  if (statement.order_by.empty()) return std::nullopt;
  // The output's names, and the input column each output column passes on
  // unchanged (-1 for a computed one), as project names and fills them.
  std::vector<std::string> names;
  std::vector<int> sources;
  for (size_t position = 0; position < statement.projection.size(); ++position) {
    const ProjectionItem& item = statement.projection[position];
    if (!item.expr) return std::nullopt;
    if (std::holds_alternative<Star>(item.expr->node)) {
      for (int i = 0; i < input.num_fields(); ++i) {
        names.push_back(input.field(i)->name());
        sources.push_back(i);
      }
      continue;
    }
    const auto* ref = std::get_if<ColumnRef>(&item.expr->node);
    names.push_back(output_name(item, position, input));
    sources.push_back(ref != nullptr ? find_field(input, ref->name) : -1);
  }
  const OrderItem& first = statement.order_by.front();
  Result<int> index = key_output_column(first, names, nullptr);
  if (!index.ok()) return std::nullopt;
  const int column =
      *index >= 0 ? sources[*index] : find_field(input, std::get<ColumnRef>(first.expr->node).name);
  if (column < 0) return std::nullopt;
  return column;
}

Result<BatchPtr> order_rows(const BatchPtr& output, const BatchPtr& input,
                            const SelectStatement& statement, std::string* error) {
  if (statement.order_by.empty()) return output;
  const std::vector<std::string> output_names = field_names(*output->schema());
  arrow::FieldVector fields;
  arrow::ArrayVector columns;
  std::vector<cp::SortKey> keys;
  for (const OrderItem& item : statement.order_by) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> column,
                          sort_key(item, output, input, output_names, error));
    const int position = static_cast<int>(columns.size());
    fields.push_back(arrow::field("k" + std::to_string(position), column->type()));
    columns.push_back(std::move(column));
    // Nulls go last unless NULLS FIRST is written, whatever the direction.
    keys.emplace_back(arrow::FieldRef(position),
                      item.descending ? cp::SortOrder::Descending : cp::SortOrder::Ascending,
                      item.nulls_first ? cp::NullPlacement::AtStart : cp::NullPlacement::AtEnd);
  }
  BatchPtr rows = output;
  BatchPtr key_batch = arrow::RecordBatch::Make(arrow::schema(std::move(fields)),
                                                output->num_rows(), std::move(columns));
  if (const std::optional<int64_t> need = rows_needed(statement)) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> candidates,
                          top_k_candidates(key_batch->column(0), keys.front(), *need));
    if (candidates) {
      ARROW_ASSIGN_OR_RAISE(arrow::Datum kept_rows, cp::Filter(rows, candidates));
      ARROW_ASSIGN_OR_RAISE(arrow::Datum kept_keys, cp::Filter(key_batch, candidates));
      rows = kept_rows.record_batch();
      key_batch = kept_keys.record_batch();
    }
  }
  cp::SortOptions options(std::move(keys));
  ARROW_ASSIGN_OR_RAISE(arrow::Datum indices,
                        cp::CallFunction("sort_indices", {arrow::Datum(key_batch)}, &options));
  ARROW_ASSIGN_OR_RAISE(arrow::Datum taken, cp::Take(arrow::Datum(rows), indices));
  return taken.record_batch();
}

}  // namespace zv_sql::internal
