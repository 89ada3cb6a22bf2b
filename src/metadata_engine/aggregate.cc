#include "metadata_engine/aggregate_internal.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <vector>

#include <arrow/acero/options.h>
#include <arrow/compute/api.h>
#include <arrow/scalar.h>

#include "metadata_engine/acero_plan_internal.h"
#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"

namespace zv_sql::internal {

namespace acero = arrow::acero;
namespace cp = arrow::compute;
using arrow::Result;
using BatchPtr = std::shared_ptr<arrow::RecordBatch>;

namespace {

struct OutputColumn {
  std::string internal_name;
  std::string output_name;
  std::shared_ptr<arrow::DataType> type;  // set when the service's type differs from the kernel's
};

// The service sums integers as 128-bit integers, delivered as DECIMAL(38,0).
std::shared_ptr<arrow::DataType> service_sum_type(const arrow::DataType& argument) {
  return arrow::is_integer(argument.id()) ? arrow::decimal128(38, 0) : nullptr;
}

Result<std::string> function_for(const AggregateCall& call, bool grouped, std::string* error) {
  const std::string prefix = grouped ? "hash_" : "";
  if (call.name == "count") return prefix + (call.star ? "count_all" : "count");
  if (call.name == "sum") return prefix + "sum";
  if (call.name == "min") return prefix + "min";
  if (call.name == "max") return prefix + "max";
  if (call.name == "avg") return prefix + "mean";
  return record_failure(error, "unsupported aggregate function: " + call.name,
                        "unsupported aggregate: " + call.name);
}

bool is_min_max_type(arrow::Type::type id) {
  return arrow::is_integer(id) || arrow::is_floating(id) || id == arrow::Type::STRING ||
         id == arrow::Type::LARGE_STRING || id == arrow::Type::DATE32 ||
         id == arrow::Type::DATE64 || id == arrow::Type::TIMESTAMP;
}

// Arrow adds 64-bit integers with wrap-around, while SQL either widens or
// fails; the sum is safe when rows * largest magnitude stays in range.
Result<bool> sum_may_overflow(const std::shared_ptr<arrow::Array>& column) {
  const arrow::Type::type id = column->type_id();
  if (id != arrow::Type::INT64 && id != arrow::Type::UINT64) return false;
  if (column->length() == column->null_count()) return false;
  ARROW_ASSIGN_OR_RAISE(arrow::Datum range, cp::MinMax(column));
  const auto& pair = range.scalar_as<arrow::StructScalar>();
  constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t magnitude = 0;
  for (const auto& bound : pair.value) {
    if (!bound->is_valid) continue;
    if (id == arrow::Type::UINT64) {
      magnitude = std::max(magnitude, static_cast<const arrow::UInt64Scalar&>(*bound).value);
    } else {
      const int64_t v = static_cast<const arrow::Int64Scalar&>(*bound).value;
      magnitude = std::max(
          magnitude, v < 0 ? uint64_t{0} - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
    }
  }
  if (magnitude == 0) return false;
  return static_cast<uint64_t>(column->length()) > kLimit / magnitude;
}

// The aggregate's argument checked against the input: its field name, or
// nothing for count(*).
Result<std::optional<std::string>> aggregate_target(const BatchPtr& input,
                                                    const AggregateCall& call, std::string* error) {
  if (call.star) return std::nullopt;
  if (call.args.size() != 1 || !call.args.front()) {
    return record_failure(error, call.name + ": expected exactly one argument",
                          "aggregate arg count");
  }
  const auto* ref = std::get_if<ColumnRef>(&call.args.front()->node);
  if (ref == nullptr) {
    return record_failure(error, call.name + ": only bare column arguments supported",
                          "aggregate non-column arg");
  }
  const int index = find_field(*input->schema(), ref->name);
  if (index < 0)
    return record_failure(error, call.name + ": unknown column: " + ref->name,
                          "aggregate unknown column");
  const arrow::Type::type id = input->schema()->field(index)->type()->id();
  if (call.name == "sum" || call.name == "avg") {
    if (!arrow::is_integer(id) && !arrow::is_floating(id)) {
      return decline(call.name + " over a non-numeric column is left to compute");
    }
    ARROW_ASSIGN_OR_RAISE(bool overflow, sum_may_overflow(input->column(index)));
    if (overflow)
      return decline(call.name + " over 64-bit integers that may overflow is left to compute");
  }
  if ((call.name == "min" || call.name == "max") && !is_min_max_type(id)) {
    return decline(call.name + " over this column type is left to compute");
  }
  return input->schema()->field(index)->name();
}

std::string default_output_name(const AggregateCall& call) {
  if (call.star) return "count_star()";
  if (call.args.size() == 1 && call.args.front()) {
    if (const auto* ref = std::get_if<ColumnRef>(&call.args.front()->node))
      return call.name + "_" + ref->name;
  }
  return call.name;
}

// The GROUP BY keys as fields of the input, and the lower-cased names by
// which the select list may repeat them.
struct GroupKeys {
  std::vector<arrow::FieldRef> fields;
  std::set<std::string> names;
};

Result<GroupKeys> group_keys(const BatchPtr& input, const SelectStatement& statement,
                             std::string* error) {
  GroupKeys keys;
  for (const ExprPtr& key : statement.group_by) {
    const auto* ref = key ? std::get_if<ColumnRef>(&key->node) : nullptr;
    if (ref == nullptr) {
      return record_failure(error, "GROUP BY supports only column references",
                            "GROUP BY non-column expression");
    }
    const int index = find_field(*input->schema(), ref->name);
    if (index < 0) {
      return record_failure(error, "GROUP BY references unknown column: " + ref->name,
                            "GROUP BY unknown column");
    }
    keys.fields.emplace_back(input->schema()->field(index)->name());
    keys.names.insert(ascii_lower(ref->name));
  }
  return keys;
}

// What the aggregate node computes, and which of its columns become the
// select list under which names.
struct AggregatePlan {
  std::vector<cp::Aggregate> aggregates;
  std::vector<OutputColumn> outputs;
};

arrow::Status plan_aggregate_call(const BatchPtr& input, const AggregateCall& call,
                                  const ProjectionItem& item, bool grouped, AggregatePlan& plan,
                                  std::string* error) {
  if (call.distinct) {
    return record_failure(error, "DISTINCT aggregates not supported in metadata path",
                          "DISTINCT aggregate");
  }
  ARROW_ASSIGN_OR_RAISE(std::string function, function_for(call, grouped, error));
  ARROW_ASSIGN_OR_RAISE(std::optional<std::string> target, aggregate_target(input, call, error));
  std::string internal_name = function + "_" + std::to_string(plan.aggregates.size());
  if (target) {
    plan.aggregates.emplace_back(function, nullptr, arrow::FieldRef(*target), internal_name);
  } else {
    plan.aggregates.emplace_back(function, nullptr, std::vector<arrow::FieldRef>{}, internal_name);
  }
  std::shared_ptr<arrow::DataType> type;
  if (call.name == "sum" && target) {
    const int index = find_field(*input->schema(), *target);
    if (index >= 0) type = service_sum_type(*input->schema()->field(index)->type());
  }
  plan.outputs.push_back(
      {std::move(internal_name), item.alias ? *item.alias : default_output_name(call), type});
  return arrow::Status::OK();
}

// A plain column in the select list of an aggregate query must be a group
// key; the aggregate node passes the keys through under their input names.
arrow::Status plan_group_column(const BatchPtr& input, const ColumnRef& ref,
                                const ProjectionItem& item, const GroupKeys& keys,
                                AggregatePlan& plan, std::string* error) {
  if (keys.names.count(ascii_lower(ref.name)) == 0) {
    return record_failure(error, "non-aggregated column not in GROUP BY: " + ref.name,
                          "non-grouped projection column");
  }
  const int index = find_field(*input->schema(), ref.name);
  if (index < 0) {
    return record_failure(error, "GROUP BY column missing in input: " + ref.name,
                          "GROUP BY column missing");
  }
  const std::string& own_name = input->schema()->field(index)->name();
  plan.outputs.push_back({own_name, item.alias ? *item.alias : own_name, nullptr});
  return arrow::Status::OK();
}

Result<AggregatePlan> plan_select_list(const BatchPtr& input, const SelectStatement& statement,
                                       const GroupKeys& keys, std::string* error) {
  AggregatePlan plan;
  for (const ProjectionItem& item : statement.projection) {
    if (!item.expr)
      return record_failure(error, "empty projection item in aggregate query",
                            "empty projection item");
    if (const auto* call = std::get_if<AggregateCall>(&item.expr->node)) {
      ARROW_RETURN_NOT_OK(
          plan_aggregate_call(input, *call, item, !statement.group_by.empty(), plan, error));
    } else if (const auto* ref = std::get_if<ColumnRef>(&item.expr->node)) {
      ARROW_RETURN_NOT_OK(plan_group_column(input, *ref, item, keys, plan, error));
    } else {
      return record_failure(error,
                            "projection in aggregate query must be aggregate or group-key column",
                            "unsupported aggregate-query projection");
    }
  }
  return plan;
}

// The aggregate node's columns in select-list order, under the names the
// select list gives them.
Result<BatchPtr> select_outputs(const BatchPtr& result, const std::vector<OutputColumn>& outputs,
                                std::string* error) {
  arrow::FieldVector fields;
  arrow::ArrayVector columns;
  for (const OutputColumn& output : outputs) {
    const int index = find_field(*result->schema(), output.internal_name);
    if (index < 0) {
      return record_failure(error, "aggregate output missing column: " + output.internal_name,
                            "aggregate output missing column");
    }
    const auto& found = result->schema()->field(index);
    std::shared_ptr<arrow::Array> column = result->column(index);
    if (output.type) {
      ARROW_ASSIGN_OR_RAISE(arrow::Datum cast,
                            cp::Cast(column, cp::CastOptions::Safe(output.type)));
      column = cast.make_array();
    }
    fields.push_back(
        arrow::field(output.output_name, column->type(), /*nullable=*/true, found->metadata()));
    columns.push_back(std::move(column));
  }
  return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), result->num_rows(),
                                  std::move(columns));
}

}  // namespace

bool is_aggregate_query(const SelectStatement& statement) {
  if (!statement.group_by.empty()) return true;
  for (const ProjectionItem& item : statement.projection) {
    if (item.expr && std::holds_alternative<AggregateCall>(item.expr->node)) return true;
  }
  return false;
}

Result<BatchPtr> aggregate(const BatchPtr& input, const SelectStatement& statement,
                           std::string* error) {
  ARROW_ASSIGN_OR_RAISE(GroupKeys keys, group_keys(input, statement, error));
  ARROW_ASSIGN_OR_RAISE(AggregatePlan plan, plan_select_list(input, statement, keys, error));
  ARROW_ASSIGN_OR_RAISE(acero::Declaration source, table_source(input));
  acero::Declaration declaration = acero::Declaration::Sequence(
      {std::move(source),
       acero::Declaration("aggregate", acero::AggregateNodeOptions(std::move(plan.aggregates),
                                                                   std::move(keys.fields)))});
  ARROW_ASSIGN_OR_RAISE(BatchPtr result, run_to_batch(std::move(declaration)));
  return select_outputs(result, plan.outputs, error);
}

}  // namespace zv_sql::internal
