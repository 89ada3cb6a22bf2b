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

Status record_failure(std::string* error, std::string_view detailed, std::string short_message) {
  if (error != nullptr && error->empty()) error->assign(detailed);
  return Status::Invalid(std::move(short_message));
}

namespace {

Status fail_short(std::string short_message) { return Status::Invalid(std::move(short_message)); }

Result<std::shared_ptr<arrow::Array>> as_array(const Datum& value, int64_t rows) {
  if (value.is_array()) return value.make_array();
  if (value.is_scalar()) return arrow::MakeArrayFromScalar(*value.scalar(), rows);
  return fail_short("predicate must be array or scalar");
}

// A NULL literal has Arrow's null type, for which most kernels have no
// implementation; SQL gives an untyped NULL the type of what it meets. So
// null-typed arguments take the type of the first typed argument from
// `first_value` on (case_when's packed conditions are not a value).
Result<Datum> call_function(const std::string& name, std::vector<Datum> args, const cp::FunctionOptions* options = nullptr,
                   size_t first_value = 0) {
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
    return std::visit([this](const auto& node) { return this->eval_node(node); }, expr.node);
  }

 private:
  Result<Datum> eval_child(const ExprPtr& child) {
    if (!child) return fail_short("missing operand");
    return eval(*child);
  }

  Result<Datum> eval_node(const ColumnRef& ref) {
    const int index = find_field(*ctx_.batch->schema(), ref.name);
    if (index < 0) return record_failure(ctx_.error, "unknown column: " + ref.name, "unknown column: " + ref.name);
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
              ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> type, to_arrow_type(literal.type));
              return Datum(arrow::MakeNullScalar(std::move(type)));
            },
            [](bool v) -> Result<Datum> { return Datum(std::make_shared<arrow::BooleanScalar>(v)); },
            [](int64_t v) -> Result<Datum> { return Datum(std::make_shared<arrow::Int64Scalar>(v)); },
            [](double v) -> Result<Datum> { return Datum(std::make_shared<arrow::DoubleScalar>(v)); },
            [](const std::string& v) -> Result<Datum> { return Datum(std::make_shared<arrow::StringScalar>(v)); },
        },
        literal.value);
  }

  Result<Datum> eval_node(const Comparison& cmp) {
    static constexpr const char* kNames[] = {"equal", "not_equal", "less", "less_equal", "greater", "greater_equal"};
    ARROW_ASSIGN_OR_RAISE(Datum left, eval_child(cmp.left));
    ARROW_ASSIGN_OR_RAISE(Datum right, eval_child(cmp.right));
    return call_function(kNames[static_cast<int>(cmp.op)], {left, right});
  }

  Result<Datum> eval_node(const Arithmetic& arith) {
    ARROW_ASSIGN_OR_RAISE(Datum left, eval_child(arith.left));
    ARROW_ASSIGN_OR_RAISE(Datum right, eval_child(arith.right));
    // The checked kernels fail on integer overflow and division by zero,
    // where SQL raises an error too, instead of wrapping around or
    // answering infinity.
    switch (arith.op) {
      case ArithOp::Add: return call_function("add_checked", {left, right});
      case ArithOp::Sub: return call_function("subtract_checked", {left, right});
      case ArithOp::Mul: return call_function("multiply_checked", {left, right});
      case ArithOp::Div:
        // 1 / 3 is 0 in some dialects and 0.333... in others.
        if (arrow::is_integer(left.type()->id()) && arrow::is_integer(right.type()->id())) {
          return internal::decline("division of integers is left to compute: its result depends on the dialect");
        }
        return call_function("divide_checked", {left, right});
      case ArithOp::Mod: return modulo(left, right);
      case ArithOp::Concat:
        return call_function("binary_join_element_wise",
                                {left, right, Datum(std::make_shared<arrow::StringScalar>(""))});
    }
    return fail_short("unhandled ArithOp");
  }

  // Arrow registers no "mod" function; when it is missing the remainder is
  // built from the registered ones as a - trunc(a / b) * b, which keeps the
  // sign of the dividend (as SQL's % does) and fails on a zero divisor.
  Result<Datum> modulo(const Datum& left, const Datum& right) {
    if (cp::GetFunctionRegistry()->GetFunction("mod").ok()) return call_function("mod", {left, right});
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
      case UnaryOp::Negate: return call_function("negate", {operand});
      case UnaryOp::IsNull: return call_function("is_null", {operand});
      case UnaryOp::IsNotNull: return call_function("is_valid", {operand});
    }
    return fail_short("unhandled UnaryOp");
  }

  Result<Datum> eval_node(const InList& in) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(in.operand));
    if (!operand.is_array() && !operand.is_scalar()) return fail_short("IN: unexpected operand kind");
    std::shared_ptr<arrow::DataType> type = operand.type();
    std::vector<std::shared_ptr<arrow::Scalar>> values;
    values.reserve(in.items.size());
    bool any_floating = false;
    for (const ExprPtr& item : in.items) {
      ARROW_ASSIGN_OR_RAISE(Datum value, eval_child(item));
      if (!value.is_scalar()) {
        return record_failure(ctx_.error, "IN list element must be a literal", "IN list non-literal");
      }
      const arrow::Type::type id = value.type()->id();
      // Numbers are typed in SQL: compared with text they are an error there,
      // not a comparison of their spellings.
      if (arrow::is_base_binary_like(type->id()) && (arrow::is_numeric(id) || id == arrow::Type::BOOL)) {
        return record_failure(ctx_.error, "IN list compares text with a number or boolean", "IN type mismatch");
      }
      any_floating = any_floating || arrow::is_floating(id);
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
      return record_failure(ctx_.error, "LIKE pattern must be a literal", "LIKE non-scalar pattern");
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
      return internal::decline("LIKE pattern with a backslash is left to compute: its meaning depends on the dialect");
    }
    // ILIKE compares both sides lower-cased by the same Unicode rules, on the
    // wildcard path as on the plain one.
    if (like.case_insensitive) {
      ARROW_ASSIGN_OR_RAISE(operand, call_function("utf8_lower", {operand}));
      ARROW_ASSIGN_OR_RAISE(Datum lowered, call_function("utf8_lower", {Datum(scalar)}));
      pattern = std::string(static_cast<const arrow::StringScalar&>(*lowered.scalar()).view());
    }
    if (like_has_wildcard(pattern, like.escape)) {
      // "(?s)": a wildcard also matches line breaks, which catalog texts such
      // as view and routine definitions contain.
      cp::MatchSubstringOptions options("(?s)" + like_to_regex(pattern, like.escape), /*ignore_case=*/false);
      return call_function("match_substring_regex", {operand}, &options);
    }
    const std::string text = like_unescape(pattern, like.escape);
    return call_function("equal", {operand, Datum(std::make_shared<arrow::StringScalar>(text))});
  }

  Result<Datum> eval_node(const Case& expr) {
    const int64_t rows = ctx_.batch->num_rows();
    std::vector<std::shared_ptr<arrow::Array>> conditions;
    std::vector<std::string> names;
    std::vector<Datum> arguments(1);  // slot 0 is the packed conditions
    for (const CaseBranch& branch : expr.branches) {
      ARROW_ASSIGN_OR_RAISE(Datum condition, eval_child(branch.when));
      if (expr.operand) {
        ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(expr.operand));
        ARROW_ASSIGN_OR_RAISE(condition, call_function("equal", {operand, condition}));
      }
      ARROW_ASSIGN_OR_RAISE(Datum then, eval_child(branch.then));
      ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> mask, to_predicate_mask(condition, rows));
      names.push_back("c" + std::to_string(conditions.size()));
      conditions.push_back(std::move(mask));
      arguments.push_back(std::move(then));
    }
    if (expr.else_) {
      ARROW_ASSIGN_OR_RAISE(Datum otherwise, eval_child(expr.else_));
      arguments.push_back(std::move(otherwise));
    }
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::StructArray> packed, arrow::StructArray::Make(conditions, names));
    arguments[0] = Datum(std::move(packed));
    return call_function("case_when", std::move(arguments), nullptr, /*first_value=*/1);
  }

  Result<Datum> eval_node(const Cast& cast) {
    ARROW_ASSIGN_OR_RAISE(Datum operand, eval_child(cast.operand));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::DataType> target, to_arrow_type(cast.target));
    ARROW_RETURN_NOT_OK(check_portable_cast(*operand.type(), *target));
    cp::CastOptions options = cp::CastOptions::Safe(target);
    return call_function("cast", {operand}, &options);
  }

  // Casts whose text every SQL dialect spells alike are answered here; the
  // spelling of floating-point numbers and timestamps as text, and the words
  // accepted as booleans, differ between dialects.
  static Status check_portable_cast(const arrow::DataType& from, const arrow::DataType& to) {
    const bool to_text = to.id() == arrow::Type::STRING;
    if (to_text && (arrow::is_floating(from.id()) || arrow::is_decimal(from.id()) || from.id() == arrow::Type::TIMESTAMP ||
                    from.id() == arrow::Type::TIME64 || from.id() == arrow::Type::TIME32)) {
      return internal::decline("cast of " + from.ToString() + " to text is left to compute: its spelling depends on the dialect");
    }
    if (to.id() == arrow::Type::BOOL && arrow::is_base_binary_like(from.id())) {
      return internal::decline("cast of text to boolean is left to compute: the words accepted depend on the dialect");
    }
    return Status::OK();
  }

  Result<Datum> eval_node(const FunctionCall& call) {
    std::vector<Datum> args;
    args.reserve(call.args.size());
    for (const ExprPtr& arg : call.args) {
      ARROW_ASSIGN_OR_RAISE(Datum value, eval_child(arg));
      args.push_back(std::move(value));
    }
    const std::string name = ascii_lower(call.name);
    const char* function = name == "coalesce" ? "coalesce"
                           : name == "upper"  ? "utf8_upper"
                           : name == "lower"  ? "utf8_lower"
                           : name == "length" ? "utf8_length"
                                              : nullptr;
    if (function == nullptr) {
      return record_failure(ctx_.error, "unsupported function: " + call.name, "unsupported function: " + call.name);
    }
    return call_function(function, args);
  }

  Result<Datum> eval_node(const Star&) {
    return record_failure(ctx_.error, "'*' must be expanded by the planner before evaluation",
                          "'*' in expression evaluator");
  }

  Result<Datum> eval_node(const Exists&) {
    return record_failure(ctx_.error, "EXISTS expression survived the flatten pass; engine internal error",
                          "EXISTS expression at evaluation time");
  }

  Result<Datum> eval_node(const AggregateCall&) {
    return record_failure(ctx_.error, "aggregate function in row-wise evaluator; engine internal error",
                          "aggregate at row evaluation time");
  }

  Result<Datum> eval_node(const ScalarSubquery&) {
    return record_failure(ctx_.error, "scalar subquery survived the flatten pass; engine internal error",
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
