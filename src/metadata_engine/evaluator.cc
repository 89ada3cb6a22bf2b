#include "metadata_engine/evaluator_internal.h"

#include <arrow/array.h>
#include <arrow/array/builder_base.h>
#include <arrow/array/util.h>
#include <arrow/compute/api.h>
#include <arrow/compute/registry.h>
#include <arrow/scalar.h>

#include "metadata_engine/arrow_init_internal.h"
#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/like_to_regex_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/sql_types_internal.h"
#include "metadata_engine/text_rules_internal.h"

namespace zv_sql {

namespace cp = arrow::compute;
using arrow::Datum;
using arrow::Result;
using arrow::Status;

int find_field(const arrow::Schema& schema, std::string_view name) {
  for (int i = 0; i < schema.num_fields(); ++i) {
    if (ascii_iequals(schema.field(i)->name(), name)) return i;
  }
  return -1;
}

Status record_failure(std::string* error, std::string_view detailed,
                      const std::string& short_message) {
  if (error != nullptr && error->empty()) error->assign(detailed);
  return Status::Invalid(short_message);
}

namespace {

Status fail_short(const std::string& short_message) { return Status::Invalid(short_message); }

Result<std::shared_ptr<arrow::Array>> as_array(const Datum& value, int64_t rows) {
  if (value.is_array()) return value.make_array();
  if (value.is_scalar()) return arrow::MakeArrayFromScalar(*value.scalar(), rows);
  return fail_short("predicate must be array or scalar");
}

// A NULL literal has Arrow's null type, for which most kernels have no
// implementation; SQL gives an untyped NULL the type of what it meets. So
// null-typed arguments take the type of the first typed argument from
// `first_value` on (case_when's packed conditions are not a value).
Result<Datum> call_function(const std::string& name, std::vector<Datum> args,
                            const cp::FunctionOptions* options = nullptr, size_t first_value = 0) {
  std::shared_ptr<arrow::DataType> typed;
  bool has_null_typed = false;
  for (size_t i = first_value; i < args.size(); ++i) {
    if (args[i].type()->id() == arrow::Type::NA) {
      has_null_typed = true;
    } else if (!typed) {
      typed = args[i].type();
    }
  }
  if (has_null_typed && typed) {
    for (size_t i = first_value; i < args.size(); ++i) {
      if (args[i].type()->id() != arrow::Type::NA) continue;
      ARROW_ASSIGN_OR_RAISE(args[i], cp::Cast(args[i], typed));
    }
  }
  return cp::CallFunction(name, args, options);
}

class Evaluator {
 public:
  explicit Evaluator(const EvalContext& context) : ctx_(context) {}

  Result<Datum> eval(const Expr& expr) {
    ARROW_ASSIGN_OR_RAISE(
        Datum value,
        std::visit([this](const auto& node) { return this->eval_node(node); }, expr.node));
    ARROW_RETURN_NOT_OK(internal::check_float_values(value));
    return value;
  }

 private:
  Result<Datum> eval_child(const ExprPtr& child) {
    if (!child) return fail_short("missing operand");
    return eval(*child);
  }

  Result<internal::TypedOperand> eval_typed(const ExprPtr& child) {
    ARROW_ASSIGN_OR_RAISE(Datum value, eval_child(child));
    return internal::TypedOperand{std::move(value), internal::integer_constant_of(*child)};
  }

  // The operands cast to the type SQL computes them in; unchanged when they
  // are not all numbers.
  static Status unify(std::vector<internal::TypedOperand>& operands) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> type,
                          internal::unified_numeric_type(operands));
    if (!type) return Status::OK();
    for (internal::TypedOperand& operand : operands) {
      ARROW_ASSIGN_OR_RAISE(operand.value, internal::cast_to(operand.value, type));
    }
    return Status::OK();
  }

  // A decimal constant is compared exactly on the service; as a double here
  // that is the same against values the double holds exactly: SMALLINT,
  // INTEGER, DOUBLE, and BIGINT values within 2^53 (the front end has
  // checked the constant itself).
  static Status check_decimal_comparison(const ExprPtr& side, const Datum& other) {
    const auto* literal = side ? std::get_if<Literal>(&side->node) : nullptr;
    if (literal == nullptr || !literal->decimal) return Status::OK();
    const arrow::Type::type id = other.type()->id();
    if (id == arrow::Type::INT16 || id == arrow::Type::INT32 || id == arrow::Type::DOUBLE ||
        id == arrow::Type::NA) {
      return Status::OK();
    }
    if (id == arrow::Type::INT64) {
      constexpr int64_t kExact = int64_t{1} << 53;
      ARROW_ASSIGN_OR_RAISE(Datum range, cp::MinMax(other));
      const auto& bounds = range.scalar_as<arrow::StructScalar>().value;
      bool exact = true;
      for (const auto& bound : bounds) {
        if (!bound->is_valid) continue;
        const int64_t v = static_cast<const arrow::Int64Scalar&>(*bound).value;
        exact = exact && v > -kExact && v < kExact;
      }
      if (exact) return Status::OK();
    }
    return internal::decline("decimal constant compared with " + other.type()->ToString() +
                             " is left to compute");
  }

  // The integer constants of a chain of + (or of *) below `expr`, through
  // nested operators of the same kind.
  static void chain_constants(const Expr& expr, ArithOp op, std::vector<const Literal*>& out) {
    if (const Literal* constant = internal::integer_constant_of(expr)) {
      out.push_back(constant);
      return;
    }
    const auto* arith = std::get_if<Arithmetic>(&expr.node);
    if (arith == nullptr || arith->op != op || !arith->left || !arith->right) return;
    chain_constants(*arith->left, op, out);
    chain_constants(*arith->right, op, out);
  }

  // The service's optimizer regroups a chain of + or * and folds its
  // constants first (x * 2147483648 * 9223372036854775807 fails there for
  // every x, even a null one). When the constants alone overflow at their
  // own width, the statement is left to compute.
  static Status check_constant_folding(const Arithmetic& arith) {
    std::vector<const Literal*> constants;
    chain_constants(*arith.left, arith.op, constants);
    chain_constants(*arith.right, arith.op, constants);
    if (constants.size() < 2) return Status::OK();
    bool wide = false;
    for (const Literal* constant : constants) {
      const int64_t v = std::get<int64_t>(constant->value);
      wide = wide || v <= INT32_MIN || v > INT32_MAX;
    }
    int64_t folded = arith.op == ArithOp::Add ? 0 : 1;
    for (const Literal* constant : constants) {
      const int64_t v = std::get<int64_t>(constant->value);
      const bool overflow = arith.op == ArithOp::Add ? __builtin_add_overflow(folded, v, &folded)
                                                     : __builtin_mul_overflow(folded, v, &folded);
      if (overflow || (!wide && (folded < INT32_MIN || folded > INT32_MAX))) {
        return internal::decline("integer overflow: left to compute, which reports it");
      }
    }
    return Status::OK();
  }

  // Integer overflow: compute raises its own error for the statement.
  static Result<Datum> checked(Result<Datum> result) {
    if (!result.ok() && result.status().message().find("overflow") != std::string::npos) {
      return internal::decline("integer overflow: left to compute, which reports it");
    }
    return result;
  }

  Result<Datum> eval_node(const ColumnRef& ref) {
    const int index = find_field(*ctx_.batch->schema(), ref.name);
    if (index < 0)
      return record_failure(ctx_.error, "unknown column: " + ref.name,
                            "unknown column: " + ref.name);
    return Datum(ctx_.batch->column(index));
  }

  Result<Datum> eval_node(const Literal& literal) {
    return std::visit(
        Overloaded{
            // A null the engine made from a typed column keeps its type.
            [&](std::monostate) -> Result<Datum> {
              if (literal.type == Type::Null || literal.type == Type::Unknown) {
                return Datum(arrow::MakeNullScalar(arrow::null()));
              }
              ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> type,
                                    to_arrow_type(literal.type));
              return Datum(arrow::MakeNullScalar(std::move(type)));
            },
            [](bool v) -> Result<Datum> {
              return Datum(std::make_shared<arrow::BooleanScalar>(v));
            },
            [&](int64_t v) -> Result<Datum> {
              const bool narrow = literal.adaptable ? (v > INT32_MIN && v <= INT32_MAX)
                                                    : literal.type == Type::Int32;
              if (literal.type == Type::Int16)
                return Datum(std::make_shared<arrow::Int16Scalar>(static_cast<int16_t>(v)));
              if (narrow)
                return Datum(std::make_shared<arrow::Int32Scalar>(static_cast<int32_t>(v)));
              return Datum(std::make_shared<arrow::Int64Scalar>(v));
            },
            [&](double v) -> Result<Datum> {
              if (literal.type == Type::Float32)
                return Datum(std::make_shared<arrow::FloatScalar>(static_cast<float>(v)));
              return Datum(std::make_shared<arrow::DoubleScalar>(v));
            },
            [](const std::string& v) -> Result<Datum> {
              return Datum(std::make_shared<arrow::StringScalar>(v));
            },
        },
        literal.value);
  }

  Result<Datum> eval_node(const Comparison& cmp) {
    static constexpr const char* kNames[] = {"equal",      "not_equal", "less",
                                             "less_equal", "greater",   "greater_equal"};
    ARROW_ASSIGN_OR_RAISE(internal::TypedOperand left, eval_typed(cmp.left));
    ARROW_ASSIGN_OR_RAISE(internal::TypedOperand right, eval_typed(cmp.right));
    ARROW_RETURN_NOT_OK(check_decimal_comparison(cmp.left, right.value));
    ARROW_RETURN_NOT_OK(check_decimal_comparison(cmp.right, left.value));
    std::vector<internal::TypedOperand> operands{std::move(left), std::move(right)};
    ARROW_RETURN_NOT_OK(unify(operands));
    return call_function(kNames[static_cast<int>(cmp.op)], {operands[0].value, operands[1].value});
  }

  Result<Datum> eval_node(const Arithmetic& arith) {
    ARROW_ASSIGN_OR_RAISE(internal::TypedOperand left_operand, eval_typed(arith.left));
    ARROW_ASSIGN_OR_RAISE(internal::TypedOperand right_operand, eval_typed(arith.right));
    if (arith.op == ArithOp::Concat) {
      // Concatenating an untyped NULL has the NULL type on the service.
      if (left_operand.value.type()->id() == arrow::Type::NA ||
          right_operand.value.type()->id() == arrow::Type::NA) {
        return internal::decline("concatenation with NULL is left to compute");
      }
      return call_function("binary_join_element_wise",
                           {left_operand.value, right_operand.value,
                            Datum(std::make_shared<arrow::StringScalar>(""))});
    }
    for (const internal::TypedOperand* operand : {&left_operand, &right_operand}) {
      const arrow::Type::type id = operand->value.type()->id();
      // Dates, times and text follow rules of their own (DATE - DATE is a
      // number of days there, a duration here).
      if (!arrow::is_integer(id) && !arrow::is_floating(id) && id != arrow::Type::NA) {
        return internal::decline("arithmetic on " + operand->value.type()->ToString() +
                                 " is left to compute");
      }
    }
    if (arith.op == ArithOp::Add || arith.op == ArithOp::Mul)
      ARROW_RETURN_NOT_OK(check_constant_folding(arith));
    std::vector<internal::TypedOperand> operands{std::move(left_operand), std::move(right_operand)};
    ARROW_RETURN_NOT_OK(unify(operands));
    const Datum& left = operands[0].value;
    const Datum& right = operands[1].value;
    const bool floating = arrow::is_floating(left.type()->id());
    // The checked kernels fail on integer overflow, which the statement then
    // leaves to compute, and on division by zero.
    switch (arith.op) {
      case ArithOp::Add: return checked(call_function("add_checked", {left, right}));
      case ArithOp::Sub: return checked(call_function("subtract_checked", {left, right}));
      case ArithOp::Mul: return checked(call_function("multiply_checked", {left, right}));
      case ArithOp::Div: {
        // Integers divide as doubles (7 / 2 is 3.5); a zero divisor gives
        // infinity there and fails here.
        if (floating) return call_function("divide_checked", {left, right});
        ARROW_ASSIGN_OR_RAISE(Datum dividend, internal::cast_to(left, arrow::float64()));
        ARROW_ASSIGN_OR_RAISE(Datum divisor, internal::cast_to(right, arrow::float64()));
        return call_function("divide_checked", {dividend, divisor});
      }
      case ArithOp::Mod:
        if (floating) return internal::decline("floating-point remainder is left to compute");
        return checked(modulo(left, right));
      case ArithOp::Concat: break;
    }
    return fail_short("unhandled ArithOp");
  }

  // Arrow registers no "mod" function; when it is missing the remainder is
  // built from the registered ones as a - trunc(a / b) * b, which keeps the
  // sign of the dividend (as SQL's % does) and fails on a zero divisor.
  Result<Datum> modulo(const Datum& left, const Datum& right) {
    if (cp::GetFunctionRegistry()->GetFunction("mod").ok())
      return call_function("mod", {left, right});
    ARROW_ASSIGN_OR_RAISE(Datum quotient, call_function("divide_checked", {left, right}));
    if (arrow::is_floating(quotient.type()->id())) {
      ARROW_ASSIGN_OR_RAISE(quotient, call_function("trunc", {quotient}));
    }
    ARROW_ASSIGN_OR_RAISE(Datum product, call_function("multiply_checked", {quotient, right}));
    return call_function("subtract_checked", {left, product});
  }

  Result<Datum> eval_node(const Logical& logical) {
    ARROW_ASSIGN_OR_RAISE(Datum left, eval_child(logical.left));
    ARROW_ASSIGN_OR_RAISE(Datum right, eval_child(logical.right));
    return call_function(logical.op == LogicalOp::And ? "and_kleene" : "or_kleene", {left, right});
  }

  Result<Datum> eval_node(const Unary& unary) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(unary.operand));
    switch (unary.op) {
      case UnaryOp::Not: return call_function("invert", {operand});
      case UnaryOp::Negate: {
        const arrow::Type::type id = operand.type()->id();
        if (!arrow::is_integer(id) && !arrow::is_floating(id)) {
          return internal::decline("negation of " + operand.type()->ToString() +
                                   " is left to compute");
        }
        // -x of a constant at its type's minimum widens on the service; of a
        // column it overflows. Both are left to compute.
        return checked(call_function("negate_checked", {operand}));
      }
      case UnaryOp::IsNull: return call_function("is_null", {operand});
      case UnaryOp::IsNotNull: return call_function("is_valid", {operand});
    }
    return fail_short("unhandled UnaryOp");
  }

  Result<Datum> eval_node(const InList& in) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(in.operand));
    if (!operand.is_array() && !operand.is_scalar())
      return fail_short("IN: unexpected operand kind");
    std::shared_ptr<arrow::DataType> type = operand.type();
    std::vector<std::shared_ptr<arrow::Scalar>> values;
    values.reserve(in.items.size());
    bool any_floating = false;
    for (const ExprPtr& item : in.items) {
      ARROW_ASSIGN_OR_RAISE(Datum value, eval_child(item));
      if (!value.is_scalar()) {
        return record_failure(ctx_.error, "IN list element must be a literal",
                              "IN list non-literal");
      }
      const arrow::Type::type id = value.type()->id();
      // Numbers are typed in SQL: compared with text they are an error there,
      // not a comparison of their spellings.
      if (arrow::is_base_binary_like(type->id()) &&
          (arrow::is_numeric(id) || id == arrow::Type::BOOL)) {
        return record_failure(ctx_.error, "IN list compares text with a number or boolean",
                              "IN type mismatch");
      }
      any_floating = any_floating || arrow::is_floating(id);
      ARROW_RETURN_NOT_OK(check_decimal_comparison(item, operand));
      values.push_back(value.scalar());
    }
    // An integer compared with a decimal value is compared as a double; the
    // value cast to the integer type would lose its fraction (2 IN (2.5)).
    if (arrow::is_integer(type->id()) && any_floating) {
      type = arrow::float64();
      ARROW_ASSIGN_OR_RAISE(operand, cp::Cast(operand, type));
    }
    for (std::shared_ptr<arrow::Scalar>& scalar : values) {
      if (scalar->type->Equals(*type)) continue;
      ARROW_ASSIGN_OR_RAISE(Datum cast, cp::Cast(Datum(scalar), cp::CastOptions::Safe(type)));
      scalar = cast.scalar();
    }
    ARROW_ASSIGN_OR_RAISE(std::unique_ptr<arrow::ArrayBuilder> builder, arrow::MakeBuilder(type));
    ARROW_RETURN_NOT_OK(builder->AppendScalars(values));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> value_set, builder->Finish());
    // SQL's three-valued IN: a null operand, or no match against a list that
    // holds a null, is unknown. Matching nulls as equal would make a local
    // answer differ from compute's for the same statement (x NOT IN (...)
    // would keep the rows where x is null).
    cp::SetLookupOptions options(value_set, cp::SetLookupOptions::INCONCLUSIVE);
    return call_function("is_in", {operand}, &options);
  }

  Result<Datum> eval_node(const Like& like) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(like.operand));
    ARROW_ASSIGN_OR_RAISE(Datum pattern_value, eval_child(like.pattern));
    if (!pattern_value.is_scalar()) {
      return record_failure(ctx_.error, "LIKE pattern must be a literal",
                            "LIKE non-scalar pattern");
    }
    std::shared_ptr<arrow::Scalar> scalar = pattern_value.scalar();
    // Matching against an unknown pattern is unknown, for LIKE and NOT LIKE.
    if (!scalar->is_valid) return Datum(arrow::MakeNullScalar(arrow::boolean()));
    if (scalar->type->id() != arrow::Type::STRING) {
      ARROW_ASSIGN_OR_RAISE(scalar, scalar->CastTo(arrow::utf8()));
    }
    std::string pattern(static_cast<const arrow::StringScalar&>(*scalar).view());
    // Whether a backslash escapes the next character depends on the dialect.
    if (pattern.find(like.escape) != std::string::npos) {
      return internal::decline(
          "LIKE pattern with a backslash is left to compute: its meaning depends on the dialect");
    }
    // ILIKE compares both sides lower-cased by the same Unicode rules, on the
    // wildcard path as on the plain one.
    if (like.case_insensitive) {
      ARROW_RETURN_NOT_OK(internal::check_case_mapping(operand));
      ARROW_RETURN_NOT_OK(internal::check_case_mapping(Datum(scalar)));
      ARROW_ASSIGN_OR_RAISE(operand, call_function("utf8_lower", {operand}));
      ARROW_ASSIGN_OR_RAISE(Datum lowered, call_function("utf8_lower", {Datum(scalar)}));
      pattern = std::string(static_cast<const arrow::StringScalar&>(*lowered.scalar()).view());
    }
    LikePlan plan = plan_like(pattern, like.escape);
    using Kind = LikePlan::Kind;
    if (plan.kind == Kind::kEquals) {
      return call_function("equal",
                           {operand, Datum(std::make_shared<arrow::StringScalar>(plan.text))});
    }
    if (plan.kind == Kind::kRegex) {
      // "(?s)": a wildcard also matches line breaks, which catalog texts such
      // as view and routine definitions contain.
      cp::MatchSubstringOptions options("(?s)" + like_to_regex(pattern, like.escape),
                                        /*ignore_case=*/false);
      return call_function("match_substring_regex", {operand}, &options);
    }
    const char* function = plan.kind == Kind::kStartsWith ? "starts_with"
                           : plan.kind == Kind::kEndsWith ? "ends_with"
                                                          : "match_substring";
    cp::MatchSubstringOptions options(std::move(plan.text), /*ignore_case=*/false);
    return call_function(function, {operand}, &options);
  }

  Result<Datum> eval_node(const Case& expr) {
    const int64_t rows = ctx_.batch->num_rows();
    std::vector<std::shared_ptr<arrow::Array>> conditions;
    std::vector<std::string> names;
    std::vector<Datum> arguments(1);  // slot 0 is the packed conditions
    std::vector<internal::TypedOperand> results;
    for (const CaseBranch& branch : expr.branches) {
      ARROW_ASSIGN_OR_RAISE(Datum condition, eval_child(branch.when));
      if (expr.operand) {
        ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(expr.operand));
        ARROW_ASSIGN_OR_RAISE(condition, call_function("equal", {operand, condition}));
      }
      ARROW_ASSIGN_OR_RAISE(internal::TypedOperand then, eval_typed(branch.then));
      ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> mask, to_predicate_mask(condition, rows));
      names.push_back("c" + std::to_string(conditions.size()));
      conditions.push_back(std::move(mask));
      results.push_back(std::move(then));
    }
    if (expr.else_) {
      ARROW_ASSIGN_OR_RAISE(internal::TypedOperand otherwise, eval_typed(expr.else_));
      results.push_back(std::move(otherwise));
    }
    // The branches' values share one type, as SQL's CASE gives them.
    ARROW_RETURN_NOT_OK(unify(results));
    ARROW_RETURN_NOT_OK(check_same_types(results, "CASE"));
    for (internal::TypedOperand& result : results) arguments.push_back(std::move(result.value));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::StructArray> packed,
                          arrow::StructArray::Make(conditions, names));
    arguments[0] = Datum(std::move(packed));
    return call_function("case_when", std::move(arguments), nullptr, /*first_value=*/1);
  }

  Result<Datum> eval_node(const Cast& cast) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(cast.operand));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> target, to_arrow_type(cast.target));
    ARROW_RETURN_NOT_OK(internal::check_cast(operand, *target));
    cp::CastOptions options = cp::CastOptions::Safe(target);
    return call_function("cast", {operand}, &options);
  }

  // Values of different types that SQL would convert to one (or refuse) are
  // left to compute.
  static Status check_same_types(const std::vector<internal::TypedOperand>& values,
                                 const char* what) {
    const arrow::DataType* first = nullptr;
    for (const internal::TypedOperand& value : values) {
      if (value.value.type()->id() == arrow::Type::NA) continue;
      if (first == nullptr) {
        first = value.value.type().get();
      } else if (!first->Equals(*value.value.type())) {
        return internal::decline(std::string(what) +
                                 " over values of different types is left to compute");
      }
    }
    return Status::OK();
  }

  Result<Datum> eval_node(const FunctionCall& call) {
    std::vector<internal::TypedOperand> typed;
    typed.reserve(call.args.size());
    for (const ExprPtr& arg : call.args) {
      ARROW_ASSIGN_OR_RAISE(internal::TypedOperand value, eval_typed(arg));
      typed.push_back(std::move(value));
    }
    const std::string name = ascii_lower(call.name);
    if (name == "coalesce") {
      ARROW_RETURN_NOT_OK(unify(typed));
      ARROW_RETURN_NOT_OK(check_same_types(typed, "coalesce"));
    }
    std::vector<Datum> args;
    args.reserve(typed.size());
    for (internal::TypedOperand& value : typed) args.push_back(std::move(value.value));
    if (name == "upper" || name == "lower") {
      for (const Datum& arg : args) ARROW_RETURN_NOT_OK(internal::check_case_mapping(arg));
    }
    if (name == "length") {
      // The service counts characters as BIGINT.
      ARROW_ASSIGN_OR_RAISE(Datum counted, call_function("utf8_length", args));
      return internal::cast_to(counted, arrow::int64());
    }
    const char* function = name == "coalesce" ? "coalesce"
                           : name == "upper"  ? "utf8_upper"
                           : name == "lower"  ? "utf8_lower"
                           : name == "length" ? "utf8_length"
                                              : nullptr;
    if (function == nullptr) {
      return record_failure(ctx_.error, "unsupported function: " + call.name,
                            "unsupported function: " + call.name);
    }
    return call_function(function, args);
  }

  Result<Datum> eval_node(const Star&) {
    return record_failure(ctx_.error, "'*' must be expanded by the planner before evaluation",
                          "'*' in expression evaluator");
  }

  Result<Datum> eval_node(const Exists&) {
    return record_failure(ctx_.error,
                          "EXISTS expression survived the flatten pass; engine internal error",
                          "EXISTS expression at evaluation time");
  }

  Result<Datum> eval_node(const AggregateCall&) {
    return record_failure(ctx_.error,
                          "aggregate function in row-wise evaluator; engine internal error",
                          "aggregate at row evaluation time");
  }

  Result<Datum> eval_node(const ScalarSubquery&) {
    return record_failure(ctx_.error,
                          "scalar subquery survived the flatten pass; engine internal error",
                          "scalar subquery at evaluation time");
  }

  const EvalContext& ctx_;
};

}  // namespace

Result<std::shared_ptr<arrow::Array>> to_predicate_mask(const Datum& value, int64_t rows) {
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> mask, as_array(value, rows));
  if (mask->type_id() != arrow::Type::BOOL) {
    cp::CastOptions options = cp::CastOptions::Safe(arrow::boolean());
    ARROW_ASSIGN_OR_RAISE(Datum cast, call_function("cast", {Datum(mask)}, &options));
    mask = cast.make_array();
  }
  return mask;
}

Result<Datum> evaluate(const EvalContext& context, const Expr& expr) {
  ARROW_RETURN_NOT_OK(internal::ensure_arrow_initialized());
  if (!context.batch) return Status::Invalid("evaluation without a batch");
  try {
    return Evaluator(context).eval(expr);
  } catch (const std::exception& e) {
    // Allocation failures and the like must not cross into the engine's callers.
    return Status::UnknownError("expression evaluation failed: ", e.what());
  }
}

}  // namespace zv_sql
