#include <arrow/array.h>

#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

namespace {

using arrow::Result;
using arrow::Status;

// The literal type a column's values take, at the column's width (a wider
// one for the unsigned types); nulls keep it, so that a subquery without rows
// still yields a value of the column's type.
Type literal_type(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::BOOL: return Type::Bool;
    case arrow::Type::INT8:
    case arrow::Type::UINT8:
    case arrow::Type::INT16: return Type::Int16;
    case arrow::Type::UINT16:
    case arrow::Type::INT32: return Type::Int32;
    case arrow::Type::INT64:
    case arrow::Type::UINT32: return Type::Int64;
    case arrow::Type::FLOAT: return Type::Float32;
    case arrow::Type::DOUBLE: return Type::Float64;
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING: return Type::String;
    default: return Type::Null;
  }
}

template <typename ArrayType>
const ArrayType& as(const arrow::Array& array) {
  return static_cast<const ArrayType&>(array);
}

Result<Literal> to_literal(const arrow::Array& column, int64_t row) {
  const Type type = literal_type(*column.type());
  // A null of a type no literal carries (a decimal sum, a date) would come
  // out typeless, where the service keeps the column's type.
  if (type == Type::Null && column.type_id() != arrow::Type::NA) {
    return decline("a subquery's " + column.type()->name() + " value has no literal type");
  }
  if (column.IsNull(row)) return Literal{std::monostate{}, type};
  switch (column.type_id()) {
    case arrow::Type::BOOL: return Literal{as<arrow::BooleanArray>(column).Value(row), type};
    case arrow::Type::INT8: return Literal{int64_t{as<arrow::Int8Array>(column).Value(row)}, type};
    case arrow::Type::INT16:
      return Literal{int64_t{as<arrow::Int16Array>(column).Value(row)}, type};
    case arrow::Type::INT32:
      return Literal{int64_t{as<arrow::Int32Array>(column).Value(row)}, type};
    case arrow::Type::INT64: return Literal{as<arrow::Int64Array>(column).Value(row), type};
    case arrow::Type::UINT8:
      return Literal{int64_t{as<arrow::UInt8Array>(column).Value(row)}, type};
    case arrow::Type::UINT16:
      return Literal{int64_t{as<arrow::UInt16Array>(column).Value(row)}, type};
    case arrow::Type::UINT32:
      return Literal{int64_t{as<arrow::UInt32Array>(column).Value(row)}, type};
    case arrow::Type::FLOAT: return Literal{double{as<arrow::FloatArray>(column).Value(row)}, type};
    case arrow::Type::DOUBLE: return Literal{as<arrow::DoubleArray>(column).Value(row), type};
    case arrow::Type::STRING:
      return Literal{std::string(as<arrow::StringArray>(column).GetView(row)), type};
    case arrow::Type::LARGE_STRING:
      return Literal{std::string(as<arrow::LargeStringArray>(column).GetView(row)), type};
    default:
      return Status::Invalid("subquery result column type not supported for IN-list flattening: ",
                             column.type()->name());
  }
}

int64_t count_rows(const ExecuteResult& result) {
  int64_t rows = 0;
  for (const auto& batch : result.batches) rows += batch->num_rows();
  return rows;
}

struct Flattener {
  const RelationRegistry& registry;
  const SubqueryRunner& runner;
  std::string* error;

  // Operands before the node itself: the subqueries in the left side of an
  // IN (SELECT ...) run before its own, in the order the text reads.
  Status flatten(ExprPtr& slot) {
    if (!slot) return Status::OK();
    ARROW_RETURN_NOT_OK(map_operands(*slot, [this](ExprPtr& operand) { return flatten(operand); }));
    if (auto* e = std::get_if<ScalarSubquery>(&slot->node)) return scalar(slot, *e);
    if (auto* e = std::get_if<Exists>(&slot->node)) return exists(slot, *e);
    if (auto* e = std::get_if<InList>(&slot->node); e && e->subquery) return in_subquery(slot, *e);
    return Status::OK();
  }

  Status scalar(ExprPtr& slot, ScalarSubquery& node) {
    if (!node.subquery) return Status::Invalid("scalar subquery with null inner SelectStatement");
    ARROW_ASSIGN_OR_RAISE(ExecuteResult result, run_subquery(registry, runner, *node.subquery,
                                                             "scalar subquery: ", error));
    if (!result.schema || result.schema->num_fields() != 1) {
      return Status::Invalid("scalar subquery must return exactly one column");
    }
    const int64_t rows = count_rows(result);
    if (rows > 1) return Status::Invalid("scalar subquery returned more than one row");
    Literal value{std::monostate{}, literal_type(*result.schema->field(0)->type())};
    for (const auto& batch : result.batches) {
      if (batch->num_rows() == 0) continue;
      ARROW_ASSIGN_OR_RAISE(value, to_literal(*batch->column(0), 0));
    }
    slot = make_expr(std::move(value));
    return Status::OK();
  }

  Status exists(ExprPtr& slot, Exists& node) {
    if (!node.subquery) return Status::Invalid("EXISTS with null inner SelectStatement");
    ARROW_ASSIGN_OR_RAISE(ExecuteResult result,
                          run_subquery(registry, runner, *node.subquery, "EXISTS: ", error));
    const bool any = count_rows(result) > 0;
    slot = make_expr(Literal{any != node.negated, Type::Bool});
    return Status::OK();
  }

  // The walk has flattened the operand already; IN (SELECT ...) has no items
  // of its own, only those the subquery yields, which are constants.
  Status in_subquery(ExprPtr& slot, InList& node) {
    ARROW_ASSIGN_OR_RAISE(ExecuteResult result,
                          run_subquery(registry, runner, *node.subquery, "IN-subquery: ", error));
    if (!result.schema || result.schema->num_fields() == 0) {
      return Status::Invalid("IN-subquery returned no columns");
    }
    if (result.schema->num_fields() > 1)
      return Status::Invalid("IN-subquery must return exactly one column");
    node.subquery.reset();
    for (const auto& batch : result.batches) {
      const arrow::Array& column = *batch->column(0);
      for (int64_t row = 0; row < batch->num_rows(); ++row) {
        ARROW_ASSIGN_OR_RAISE(Literal value, to_literal(column, row));
        node.items.push_back(make_expr(std::move(value)));
      }
    }
    // x IN (empty set) is false even when x is null, and NOT IN true; a set
    // lookup would answer null for a null x. The operand is still evaluated,
    // so that its own failures are not hidden.
    if (node.items.empty()) {
      ExprPtr operand = std::move(node.operand);
      slot = make_expr(Logical{LogicalOp::And, make_expr(Literal{false, Type::Bool}),
                               make_expr(Unary{UnaryOp::IsNull, std::move(operand)})});
    }
    return Status::OK();
  }
};

}  // namespace

Status flatten(const RelationRegistry& registry, const SubqueryRunner& runner, ExprPtr& expr,
               std::string* error) {
  Flattener flattener{registry, runner, error};
  return flattener.flatten(expr);
}

}  // namespace zv_sql::internal
