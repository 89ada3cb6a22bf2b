#include <arrow/builder.h>

#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

namespace {

using arrow::Status;

// The column's type from all of its values, as the service unifies the rows
// of a VALUES list, row by row: the first integer decides (INTEGER when its
// digits fit 32 bits, BIGINT otherwise: -2147483648 is the negated BIGINT
// 2147483648), and a later one widens it only when it does not fit. A column
// of nulls only has the NULL type. Mixed kinds of values, which SQL would
// either convert or refuse, are left to compute (decimal constants never
// reach here).
arrow::Result<std::shared_ptr<arrow::DataType>> column_type(
    const std::vector<const Literal*>& values) {
  bool any_bool = false, any_int = false, any_wide = false, any_double = false, any_string = false;
  for (const Literal* value : values) {
    std::visit(Overloaded{
                   [](std::monostate) {},
                   [&](bool) { any_bool = true; },
                   [&](int64_t v) {
                     const bool fits = v >= INT32_MIN && v <= INT32_MAX;
                     any_wide = any_wide || !fits || (!any_int && v == INT32_MIN);
                     any_int = true;
                   },
                   [&](double) { any_double = true; },
                   [&](const std::string&) { any_string = true; },
               },
               value->value);
  }
  const int kinds = int{any_bool} + int{any_int} + int{any_double} + int{any_string};
  if (kinds > 1) return decline("VALUES column mixes value types; left to compute");
  if (any_double) return decline("VALUES column of non-integer numbers; left to compute");
  if (any_bool) return arrow::boolean();
  if (any_int) return any_wide ? arrow::int64() : arrow::int32();
  if (any_string) return arrow::utf8();
  return arrow::null();
}

Status append(arrow::ArrayBuilder& builder, const Literal& value) {
  return std::visit(
      Overloaded{
          [&](std::monostate) { return builder.AppendNull(); },
          [&](bool v) { return static_cast<arrow::BooleanBuilder&>(builder).Append(v); },
          [&](int64_t v) {
            if (builder.type()->id() == arrow::Type::INT32) {
              return static_cast<arrow::Int32Builder&>(builder).Append(static_cast<int32_t>(v));
            }
            return static_cast<arrow::Int64Builder&>(builder).Append(v);
          },
          [&](double v) { return static_cast<arrow::DoubleBuilder&>(builder).Append(v); },
          [&](const std::string& v) {
            return static_cast<arrow::StringBuilder&>(builder).Append(v);
          },
      },
      value.value);
}

}  // namespace

arrow::Result<BatchPtr> materialize_values(const ValuesTable& table, std::string* error) {
  auto invalid = [error](const char* message) { return record_failure(error, message, message); };
  if (table.rows.empty()) return invalid("VALUES list with no rows");
  const size_t width = table.rows.front().size();
  if (width == 0) return invalid("VALUES list with no columns");
  // SQL refuses more names than columns rather than ignoring the extra ones.
  // A column the alias list does not name is col0, col1, ... by its
  // zero-based position, as the service names them.
  if (table.column_names.size() > width)
    return invalid("VALUES list has fewer columns than alias names");
  std::vector<std::vector<const Literal*>> columns(width);
  for (const std::vector<ExprPtr>& row : table.rows) {
    if (row.size() != width) return invalid("VALUES row has mismatched column count");
    for (size_t i = 0; i < width; ++i) {
      const Literal* literal = row[i] ? std::get_if<Literal>(&row[i]->node) : nullptr;
      if (literal == nullptr) return invalid("VALUES with non-literal element");
      columns[i].push_back(literal);
    }
  }
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (size_t i = 0; i < width; ++i) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> type, column_type(columns[i]));
    ARROW_ASSIGN_OR_RAISE(std::unique_ptr<arrow::ArrayBuilder> builder, arrow::MakeBuilder(type));
    for (const Literal* value : columns[i]) ARROW_RETURN_NOT_OK(append(*builder, *value));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> array, builder->Finish());
    std::string name =
        i < table.column_names.size() ? table.column_names[i] : "col" + std::to_string(i);
    fields.push_back(arrow::field(std::move(name), type, /*nullable=*/true));
    arrays.push_back(std::move(array));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)),
                                  static_cast<int64_t>(table.rows.size()), std::move(arrays));
}

}  // namespace zv_sql::internal
