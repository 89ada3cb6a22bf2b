#include "metadata_engine/sql_types_internal.h"

#include <cmath>
#include <limits>

#include <arrow/array.h>
#include <arrow/compute/api.h>
#include <arrow/scalar.h>
#include <arrow/type.h>

#include "metadata_engine/decline_internal.h"

namespace zv_sql::internal {

namespace cp = arrow::compute;
using arrow::Result;

namespace {

// Bits of an integer type, 0 for a type that is no signed integer of 16 to 64 bits.
int integer_bits(arrow::Type::type id) {
  switch (id) {
    case arrow::Type::INT16: return 16;
    case arrow::Type::INT32: return 32;
    case arrow::Type::INT64: return 64;
    default: return 0;
  }
}

std::shared_ptr<arrow::DataType> integer_type(int bits) {
  return bits == 16 ? arrow::int16() : bits == 32 ? arrow::int32() : arrow::int64();
}

bool fits(int64_t value, int bits) {
  if (bits == 16)
    return value >= std::numeric_limits<int16_t>::min() &&
           value <= std::numeric_limits<int16_t>::max();
  if (bits == 32)
    return value >= std::numeric_limits<int32_t>::min() &&
           value <= std::numeric_limits<int32_t>::max();
  return true;
}

// The width a constant has on its own: INTEGER when its digits fit 32 bits,
// else BIGINT (-2147483648 is the negated BIGINT 2147483648).
int constant_bits(const Literal& constant) {
  const int64_t value = std::get<int64_t>(constant.value);
  return value > std::numeric_limits<int32_t>::min() && fits(value, 32) ? 32 : 64;
}

}  // namespace

const Literal* integer_constant_of(const Expr& expr) {
  const auto* literal = std::get_if<Literal>(&expr.node);
  if (literal == nullptr || !literal->adaptable || !std::holds_alternative<int64_t>(literal->value))
    return nullptr;
  return literal;
}

Result<std::shared_ptr<arrow::DataType>> unified_numeric_type(
    const std::vector<TypedOperand>& operands) {
  bool any_float32 = false, any_float64 = false, any_typed = false;
  int column_bits = 0;   // widest integer that is not a constant
  int constant_max = 0;  // widest constant on its own
  for (const TypedOperand& operand : operands) {
    const arrow::Type::type id = operand.value.type()->id();
    if (id == arrow::Type::NA) continue;
    any_typed = true;
    if (id == arrow::Type::FLOAT) {
      any_float32 = true;
    } else if (id == arrow::Type::DOUBLE) {
      any_float64 = true;
    } else if (integer_bits(id) == 0) {
      if (arrow::is_integer(id))
        return decline("arithmetic on " + operand.value.type()->ToString() + " is left to compute");
      return nullptr;
    } else if (operand.constant != nullptr) {
      constant_max = std::max(constant_max, constant_bits(*operand.constant));
    } else {
      column_bits = std::max(column_bits, integer_bits(id));
    }
  }
  if (!any_typed) return decline("arithmetic on nulls only is left to compute");
  if (any_float64) return arrow::float64();
  if (any_float32) return arrow::float32();
  if (column_bits == 0) return integer_type(constant_max);
  // Constants take the operands' type when their value fits it; one that does
  // not widens the result to its own type.
  int bits = column_bits;
  for (const TypedOperand& operand : operands) {
    if (operand.constant != nullptr &&
        !fits(std::get<int64_t>(operand.constant->value), column_bits)) {
      bits = std::max(bits, constant_bits(*operand.constant));
    }
  }
  return integer_type(bits);
}

Result<arrow::Datum> cast_to(const arrow::Datum& value,
                             const std::shared_ptr<arrow::DataType>& type) {
  if (value.type()->Equals(*type)) return value;
  return cp::Cast(value, cp::CastOptions::Safe(type));
}

namespace {

template <typename T>
bool special(T v) {
  return std::isnan(v) || (v == 0 && std::signbit(v));
}

template <typename ArrayType>
bool any_special(const arrow::Array& array) {
  const auto& values = static_cast<const ArrayType&>(array);
  for (int64_t i = 0; i < values.length(); ++i) {
    if (values.IsValid(i) && special(values.Value(i))) return true;
  }
  return false;
}

}  // namespace

arrow::Status check_float_values(const arrow::Datum& value) {
  const arrow::Type::type id = value.type() ? value.type()->id() : arrow::Type::NA;
  if (id != arrow::Type::FLOAT && id != arrow::Type::DOUBLE) return arrow::Status::OK();
  bool found = false;
  if (value.is_scalar()) {
    const arrow::Scalar& scalar = *value.scalar();
    if (scalar.is_valid) {
      found = id == arrow::Type::FLOAT
                  ? special(static_cast<const arrow::FloatScalar&>(scalar).value)
                  : special(static_cast<const arrow::DoubleScalar&>(scalar).value);
    }
  } else if (value.is_array()) {
    const std::shared_ptr<arrow::Array> array = value.make_array();
    found = id == arrow::Type::FLOAT ? any_special<arrow::FloatArray>(*array)
                                     : any_special<arrow::DoubleArray>(*array);
  }
  if (found)
    return decline("NaN or negative zero: compute compares, sorts and groups them its own way");
  return arrow::Status::OK();
}

}  // namespace zv_sql::internal
