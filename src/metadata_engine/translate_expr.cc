// Parse-tree expressions to Expr: one function per node kind behind one
// dispatch whose default rejects the node.
#include <charconv>
#include <string>
#include <system_error>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/translate_context_internal.h"

namespace zv_sql::internal {

namespace {

bool is_aggregate_name(std::string_view name) {
  return name == "count" || name == "sum" || name == "min" || name == "max" || name == "avg";
}

ExprPtr out_of_scope(TranslateContext& ctx, std::string message) {
  ctx.fail(ParseCode::OutOfScope, std::move(message));
  return nullptr;
}

ExprPtr malformed(TranslateContext& ctx, std::string message) {
  ctx.fail(ParseCode::Malformed, std::move(message));
  return nullptr;
}

ExprPtr translate_const(TranslateContext& ctx, const json& body) {
  if (member(body, "isnull") && bool_member(body, "isnull")) {
    return make_expr(Literal{std::monostate{}, Type::Null});
  }
  if (member(body, "ival")) {
    auto value = integer_constant(ctx, body);
    if (!value) return nullptr;
    return make_expr(Literal{*value, Type::Int64});
  }
  if (const json* holder = member(body, "fval")) {
    auto text = string_member(*holder, "fval");
    if (!text) return malformed(ctx, "invalid numeric literal: (null)");
    const char* begin = text->data();
    const char* end = begin + text->size();
    // Integers too large for 32 bits arrive here too; they stay integers.
    if (text->find_first_not_of("0123456789") == std::string::npos) {
      int64_t integer = 0;
      auto [ptr, ec] = std::from_chars(begin, end, integer);
      if (ec != std::errc() || ptr != end) return out_of_scope(ctx, "integer constant beyond 64 bits");
      return make_expr(Literal{integer, Type::Int64});
    }
    double value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end) return malformed(ctx, "invalid numeric literal: " + *text);
    return make_expr(Literal{value, Type::Float64, /*decimal=*/true});
  }
  if (const json* holder = member(body, "sval")) {
    return make_expr(Literal{string_member(*holder, "sval").value_or(""), Type::String});
  }
  if (const json* holder = member(body, "bsval")) {
    return make_expr(Literal{string_member(*holder, "bsval").value_or(""), Type::String});
  }
  if (const json* holder = member(body, "boolval")) {
    // This parser delivers TRUE and FALSE as boolean constants.
    return make_expr(Literal{bool_member(*holder, "boolval"), Type::Bool});
  }
  return out_of_scope(ctx, "unsupported PGValue type in literal");
}

ExprPtr translate_column_ref(TranslateContext& ctx, const json& body) {
  const json* fields = list_member(body, "fields");
  if (fields == nullptr) return malformed(ctx, "empty column reference");
  auto last = as_node(&fields->back());
  if (last && last->kind == "A_Star") {
    Star star;
    if (fields->size() > 1) star.qualifier = string_node(&fields->front()).value_or("");
    return make_expr(std::move(star));
  }
  std::vector<std::string> parts;
  for (const json& field : *fields) {
    auto part = string_node(&field);
    if (!part) return out_of_scope(ctx, "non-string identifier component in column reference");
    parts.push_back(std::move(*part));
  }
  ColumnRef ref;
  ref.name = parts.back();
  if (parts.size() > 1) ref.qualifier = parts[parts.size() - 2];
  return make_expr(std::move(ref));
}

// AND and OR are associative (also with SQL's nulls), so a chain of any length
// becomes a balanced tree: thousands of OR-ed terms nest only a dozen levels
// deep for every later pass that recurses over the tree.
ExprPtr balanced_fold(LogicalOp op, std::vector<ExprPtr>& operands, size_t begin, size_t end) {
  if (end - begin == 1) return std::move(operands[begin]);
  const size_t middle = begin + (end - begin) / 2;
  ExprPtr left = balanced_fold(op, operands, begin, middle);
  ExprPtr right = balanced_fold(op, operands, middle, end);
  return make_expr(Logical{op, std::move(left), std::move(right)});
}

ExprPtr translate_bool_expr(TranslateContext& ctx, const json& body) {
  const std::string op = enum_member(body, "boolop");
  const json* args = list_member(body, "args");
  if (op == "NOT_EXPR") {
    if (args == nullptr || args->size() != 1) return malformed(ctx, "NOT with other than one operand");
    ExprPtr operand = translate_expr(ctx, &args->front());
    if (!operand) return nullptr;
    return make_expr(Unary{UnaryOp::Not, std::move(operand)});
  }
  if (op != "AND_EXPR" && op != "OR_EXPR") return out_of_scope(ctx, "unknown PGBoolExpr op");
  if (args == nullptr) return malformed(ctx, "AND/OR without operands");
  const LogicalOp logical = op == "AND_EXPR" ? LogicalOp::And : LogicalOp::Or;
  std::vector<ExprPtr> operands;
  operands.reserve(args->size());
  for (const json& arg : *args) {
    ExprPtr next = translate_expr(ctx, &arg);
    if (!next) return nullptr;
    operands.push_back(std::move(next));
  }
  return balanced_fold(logical, operands, 0, operands.size());
}

ExprPtr translate_null_test(TranslateContext& ctx, const json& body) {
  const json* arg = member(body, "arg");
  if (arg == nullptr) return malformed(ctx, "IS NULL without operand");
  ExprPtr operand = translate_expr(ctx, arg);
  if (!operand) return nullptr;
  const UnaryOp op = enum_member(body, "nulltesttype") == "IS_NOT_NULL" ? UnaryOp::IsNotNull : UnaryOp::IsNull;
  return make_expr(Unary{op, std::move(operand)});
}

std::optional<CompareOp> comparison_op(std::string_view name) {
  if (name == "=" || name == "==") return CompareOp::Eq;
  if (name == "<>" || name == "!=") return CompareOp::Ne;
  if (name == "<") return CompareOp::Lt;
  if (name == "<=") return CompareOp::Le;
  if (name == ">") return CompareOp::Gt;
  if (name == ">=") return CompareOp::Ge;
  return std::nullopt;
}

std::optional<ArithOp> arithmetic_op(std::string_view name) {
  if (name == "+") return ArithOp::Add;
  if (name == "-") return ArithOp::Sub;
  if (name == "*") return ArithOp::Mul;
  if (name == "/") return ArithOp::Div;
  if (name == "%") return ArithOp::Mod;
  if (name == "||") return ArithOp::Concat;
  return std::nullopt;
}

ExprPtr translate_in(TranslateContext& ctx, const json& body, const std::optional<std::string>& name) {
  const json* lexpr = member(body, "lexpr");
  const json* rexpr = member(body, "rexpr");
  if (lexpr == nullptr || rexpr == nullptr) return malformed(ctx, "IN missing operand");
  ExprPtr operand = translate_expr(ctx, lexpr);
  if (!operand) return nullptr;
  auto list = as_node(rexpr);
  if (!list || list->kind != "List") return out_of_scope(ctx, "IN with non-list rhs (subquery?)");
  InList in;
  in.operand = std::move(operand);
  if (const json* items = list_member(*list->body, "items")) {
    for (const json& item : *items) {
      ExprPtr converted = translate_expr(ctx, &item);
      if (!converted) return nullptr;
      in.items.push_back(std::move(converted));
    }
  }
  ExprPtr result = make_expr(std::move(in));
  if (name && (*name == "<>" || *name == "!=")) return make_expr(Unary{UnaryOp::Not, std::move(result)});
  return result;
}

ExprPtr translate_a_expr(TranslateContext& ctx, const json& body) {
  const std::string kind = enum_member(body, "kind");
  const json* names = list_member(body, "name");
  const std::optional<std::string> name = names ? string_node(&names->front()) : std::nullopt;
  const bool plain = kind == "AEXPR_OP";
  if ((plain || kind == "AEXPR_OP_ANY" || kind == "AEXPR_OP_ALL") && !name) {
    return malformed(ctx, "PGAExpr without operator name");
  }
  if (kind == "AEXPR_IN") return translate_in(ctx, body, name);
  const bool like = kind == "AEXPR_LIKE" || kind == "AEXPR_ILIKE";
  // Only the forms handled below convert their operands: the others (BETWEEN
  // with its list operand, for one) are refused as a whole.
  if (!plain && !like) return out_of_scope(ctx, "unsupported PGAExpr kind in metadata path");

  ExprPtr left;
  ExprPtr right;
  if (const json* lexpr = member(body, "lexpr")) {
    if (!(left = translate_expr(ctx, lexpr))) return nullptr;
  }
  if (const json* rexpr = member(body, "rexpr")) {
    if (!(right = translate_expr(ctx, rexpr))) return nullptr;
  }
  if (like) {
    if (!left || !right) return malformed(ctx, "LIKE missing operand");
    const std::string op = name.value_or("~~");
    Like expr{std::move(left), std::move(right), '\\', kind == "AEXPR_ILIKE"};
    ExprPtr result = make_expr(std::move(expr));
    if (op == "!~~" || op == "!~~*") return make_expr(Unary{UnaryOp::Not, std::move(result)});
    return result;
  }
  if (!left || !right) return malformed(ctx, "binary operator missing operand");
  if (auto op = comparison_op(*name)) return make_expr(Comparison{*op, std::move(left), std::move(right)});
  if (auto op = arithmetic_op(*name)) return make_expr(Arithmetic{*op, std::move(left), std::move(right)});
  return out_of_scope(ctx, "unsupported binary operator: " + *name);
}

ExprPtr translate_func_call(TranslateContext& ctx, const json& body) {
  const json* names = list_member(body, "funcname");
  auto raw_name = names ? string_node(&names->front()) : std::nullopt;
  if (!raw_name) return malformed(ctx, "function call without name");
  const std::string name = ascii_lower(*raw_name);
  if (member(body, "over")) return out_of_scope(ctx, "window functions are not supported in the metadata path");
  if (member(body, "agg_filter") || bool_member(body, "agg_within_group") || list_member(body, "agg_order")) {
    return out_of_scope(ctx, "aggregate FILTER / WITHIN GROUP / ORDER BY not supported");
  }
  std::vector<ExprPtr> args;
  if (!bool_member(body, "agg_star")) {
    if (const json* list = list_member(body, "args")) {
      for (const json& arg : *list) {
        ExprPtr converted = translate_expr(ctx, &arg);
        if (!converted) return nullptr;
        args.push_back(std::move(converted));
      }
    }
  }
  if (!is_aggregate_name(name)) return make_expr(FunctionCall{name, std::move(args)});
  AggregateCall call;
  call.name = name;
  call.distinct = bool_member(body, "agg_distinct");
  call.star = bool_member(body, "agg_star") ||
              (name == "count" && args.size() == 1 && std::holds_alternative<Star>(args.front()->node));
  if (!call.star) call.args = std::move(args);
  return make_expr(std::move(call));
}

bool is_narrowed_type_name(std::string_view name) {
  return name == "smallint" || name == "int2" || name == "real" || name == "float4" || name == "char" ||
         name == "bpchar" || name == "timestamptz" || name == "timestamp_with_time_zone";
}

ExprPtr translate_type_cast(TranslateContext& ctx, const json& body) {
  const json* arg = member(body, "arg");
  if (arg == nullptr) return malformed(ctx, "CAST without operand");
  ExprPtr operand = translate_expr(ctx, arg);
  if (!operand) return nullptr;
  const json* type_name = member(body, "typeName");
  const json* names = type_name ? list_member(*type_name, "names") : nullptr;
  if (names == nullptr) return malformed(ctx, "CAST without type name");
  auto name = string_node(&names->back());
  if (!name) return malformed(ctx, "CAST type name not a string");
  // An array type would otherwise pass for its element type.
  if (list_member(*type_name, "arrayBounds")) return out_of_scope(ctx, "CAST to unsupported type: " + *name + "[]");
  const Type target = type_from_name(*name);
  if (target == Type::Unknown) return out_of_scope(ctx, "CAST to unsupported type: " + *name);
  // A length or precision, and types narrower than the engine's own (smallint,
  // real, char) or with a time zone, would change values in ways the engine
  // does not reproduce.
  if (list_member(*type_name, "typmods") || is_narrowed_type_name(ascii_lower(*name))) {
    return out_of_scope(ctx, "CAST to " + *name + " is left to compute");
  }
  return make_expr(Cast{std::move(operand), target});
}

ExprPtr translate_case(TranslateContext& ctx, const json& body) {
  Case result;
  if (const json* arg = member(body, "arg")) {
    if (!(result.operand = translate_expr(ctx, arg))) return nullptr;
  }
  const json* whens = list_member(body, "args");
  if (whens == nullptr) return malformed(ctx, "CASE without WHEN clauses");
  for (const json& when : *whens) {
    auto node = as_node(&when);
    const json* condition = node ? member(*node->body, "expr") : nullptr;
    const json* value = node ? member(*node->body, "result") : nullptr;
    if (!node || node->kind != "CaseWhen" || !condition || !value) return malformed(ctx, "CASE branch without WHEN or THEN");
    CaseBranch branch;
    if (!(branch.when = translate_expr(ctx, condition))) return nullptr;
    if (!(branch.then = translate_expr(ctx, value))) return nullptr;
    result.branches.push_back(std::move(branch));
  }
  if (const json* otherwise = member(body, "defresult")) {
    if (!(result.else_ = translate_expr(ctx, otherwise))) return nullptr;
  }
  return make_expr(std::move(result));
}

// The inner SELECT of a sublink, or null (with `missing` recorded) when absent.
SelectPtr translate_subselect(TranslateContext& ctx, const json& body, const char* missing) {
  auto inner = as_node(member(body, "subselect"));
  if (!inner || inner->kind != "SelectStmt") {
    ctx.fail(ParseCode::Malformed, missing);
    return nullptr;
  }
  return translate_select(ctx, *inner->body);
}

ExprPtr translate_sublink(TranslateContext& ctx, const json& body) {
  const std::string kind = enum_member(body, "subLinkType");
  if (kind == "EXPR_SUBLINK") {
    SelectPtr inner = translate_subselect(ctx, body, "scalar subquery missing inner SelectStmt");
    if (!inner) return nullptr;
    return make_expr(ScalarSubquery{std::move(inner)});
  }
  if (kind == "EXISTS_SUBLINK") {
    SelectPtr inner = translate_subselect(ctx, body, "EXISTS missing inner SelectStmt");
    if (!inner) return nullptr;
    return make_expr(Exists{std::move(inner), false});
  }
  if (kind == "ANY_SUBLINK") {
    if (const json* names = list_member(body, "operName")) {
      if (string_node(&names->front()).value_or("") != "=") {
        return out_of_scope(ctx, "subquery operator other than '=' (IN) not supported");
      }
    }
    const json* test = member(body, "testexpr");
    if (test == nullptr) return malformed(ctx, "ANY-subquery missing testexpr");
    ExprPtr operand = translate_expr(ctx, test);
    if (!operand) return nullptr;
    SelectPtr inner = translate_subselect(ctx, body, "ANY-subquery missing inner SelectStmt");
    if (!inner) return nullptr;
    InList in;
    in.operand = std::move(operand);
    in.subquery = std::move(inner);
    return make_expr(std::move(in));
  }
  return out_of_scope(ctx, "subquery kind not yet supported (IN / EXISTS only)");
}

// COALESCE is a keyword of this grammar with a node of its own; it is the
// coalesce function of the evaluator.
ExprPtr translate_coalesce(TranslateContext& ctx, const json& body) {
  FunctionCall call{"coalesce", {}};
  if (const json* args = list_member(body, "args")) {
    for (const json& arg : *args) {
      ExprPtr converted = translate_expr(ctx, &arg);
      if (!converted) return nullptr;
      call.args.push_back(std::move(converted));
    }
  }
  return make_expr(std::move(call));
}

}  // namespace

ExprPtr translate_expr(TranslateContext& ctx, const json* value) {
  if (ctx.failed) return nullptr;
  DepthGuard depth(ctx);
  if (depth.too_deep()) return nullptr;
  auto node = as_node(value);
  if (!node) return malformed(ctx, "missing expression node");
  const json& body = *node->body;
  const std::string_view kind = node->kind;
  if (kind == "A_Const") return translate_const(ctx, body);
  if (kind == "ColumnRef") return translate_column_ref(ctx, body);
  if (kind == "BoolExpr") return translate_bool_expr(ctx, body);
  if (kind == "NullTest") return translate_null_test(ctx, body);
  if (kind == "A_Expr") return translate_a_expr(ctx, body);
  if (kind == "FuncCall") return translate_func_call(ctx, body);
  if (kind == "TypeCast") return translate_type_cast(ctx, body);
  if (kind == "CaseExpr") return translate_case(ctx, body);
  if (kind == "SubLink") return translate_sublink(ctx, body);
  if (kind == "CoalesceExpr") return translate_coalesce(ctx, body);
  return out_of_scope(ctx, "unsupported PG expression node in metadata path");
}

}  // namespace zv_sql::internal
