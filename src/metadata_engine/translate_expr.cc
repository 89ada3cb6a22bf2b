// Parse-tree expressions to Expr: one function per node kind behind one
// dispatch whose default rejects the node.
#include <algorithm>
#include <charconv>
#include <cstdint>
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

// Whether the decimal constant `text` (digits with one point, maybe signed,
// or a number with an exponent, which SQL reads as a double anyway) has a
// value a double holds exactly: digits/10^k is m/2^k for m = digits/5^k, exact
// when 5^k divides the digits and m has at most 53 bits.
bool held_exactly_by_double(std::string_view text) {
  if (text.find_first_of("eE") != std::string_view::npos) return true;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  const size_t point = text.find('.');
  std::string digits(text.substr(0, point));
  std::string fraction(point == std::string_view::npos ? std::string_view()
                                                       : text.substr(point + 1));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  digits += fraction;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  if (digits.size() > 18 || fraction.size() > 26) return false;
  uint64_t mantissa = std::stoull(digits);
  for (size_t k = 0; k < fraction.size(); ++k) {
    if (mantissa % 5 != 0) return false;
    mantissa /= 5;
  }
  return mantissa < (uint64_t{1} << 53);
}

// Up to `length` characters of the statement text at the node's location.
std::string text_at(const TranslateContext& ctx, const json& node, size_t length) {
  const json* location = member(node, "location");
  if (location == nullptr || !location->is_number_integer()) return "";
  const int64_t at = location->get<int64_t>();
  if (at < 0 || static_cast<size_t>(at) >= ctx.sql.size()) return "";
  return std::string(ctx.sql.substr(static_cast<size_t>(at), length));
}

bool written_as_plain_string(const TranslateContext& ctx, const json& a_const) {
  const json* location = member(a_const, "location");
  if (location == nullptr || !location->is_number_integer()) return false;
  const int64_t at = location->get<int64_t>();
  return at >= 0 && static_cast<size_t>(at) < ctx.sql.size() &&
         ctx.sql[static_cast<size_t>(at)] == '\'';
}

ExprPtr translate_const(TranslateContext& ctx, const json& body) {
  if (member(body, "isnull") && bool_member(body, "isnull")) {
    return make_expr(Literal{std::monostate{}, Type::Null});
  }
  if (member(body, "ival")) {
    auto value = integer_constant(ctx, body);
    if (!value) return nullptr;
    return make_expr(Literal{*value, Type::Int64, /*decimal=*/false, /*adaptable=*/true});
  }
  if (const json* holder = member(body, "fval")) {
    auto text = string_member(*holder, "fval");
    if (!text) return malformed(ctx, "invalid numeric literal: (null)");
    const char* begin = text->data();
    const char* end = begin + text->size();
    // Integers too large for 32 bits arrive here too (negated ones with their
    // sign); they stay integers.
    const size_t digits_from = (!text->empty() && text->front() == '-') ? 1 : 0;
    if (text->size() > digits_from &&
        text->find_first_not_of("0123456789", digits_from) == std::string::npos) {
      int64_t integer = 0;
      auto [ptr, ec] = std::from_chars(begin, end, integer);
      // -9223372036854775808 is the negated 128-bit 9223372036854775808 there.
      if (ec != std::errc() || ptr != end || integer == INT64_MIN) {
        return out_of_scope(ctx, "integer constant beyond 64 bits");
      }
      return make_expr(Literal{integer, Type::Int64, /*decimal=*/false, /*adaptable=*/true});
    }
    double value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end) return malformed(ctx, "invalid numeric literal: " + *text);
    if (!held_exactly_by_double(*text)) {
      return out_of_scope(ctx,
                          "decimal constant a double does not hold exactly is left to compute");
    }
    return make_expr(Literal{value, Type::Float64, /*decimal=*/true});
  }
  if (const json* holder = member(body, "sval")) {
    // Only a plain quoted string means the same text everywhere: escape
    // strings (E'..'), Unicode escapes (U&'..') and dollar quoting are read
    // differently, or refused, by other dialects.
    if (!written_as_plain_string(ctx, body))
      return out_of_scope(ctx, "string constant not in plain quotes is left to compute");
    return make_expr(Literal{string_member(*holder, "sval").value_or(""), Type::String});
  }
  if (member(body, "bsval")) {
    // x'41' and B'101' are byte strings, not text.
    return out_of_scope(ctx, "bit-string constant is left to compute");
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
  // schema.table.column names a schema the binding would have to check too.
  if (parts.size() > 2)
    return out_of_scope(ctx, "column reference with more than one qualifier is left to compute");
  ColumnRef ref;
  ref.name = parts.back();
  if (parts.size() > 1) ref.qualifier = parts.front();
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
    if (args == nullptr || args->size() != 1)
      return malformed(ctx, "NOT with other than one operand");
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
  const UnaryOp op =
      enum_member(body, "nulltesttype") == "IS_NOT_NULL" ? UnaryOp::IsNotNull : UnaryOp::IsNull;
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

ExprPtr translate_in(TranslateContext& ctx, const json& body,
                     const std::optional<std::string>& name) {
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
  if (name && (*name == "<>" || *name == "!="))
    return make_expr(Unary{UnaryOp::Not, std::move(result)});
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
  if (!left && right && *name == "-") return make_expr(Unary{UnaryOp::Negate, std::move(right)});
  if (!left || !right) return malformed(ctx, "binary operator missing operand");
  if (auto op = comparison_op(*name))
    return make_expr(Comparison{*op, std::move(left), std::move(right)});
  if (auto op = arithmetic_op(*name))
    return make_expr(Arithmetic{*op, std::move(left), std::move(right)});
  return out_of_scope(ctx, "unsupported binary operator: " + *name);
}

ExprPtr translate_func_call(TranslateContext& ctx, const json& body) {
  const json* names = list_member(body, "funcname");
  auto raw_name = names ? string_node(&names->front()) : std::nullopt;
  if (!raw_name) return malformed(ctx, "function call without name");
  // schema.function(...) is resolved in the service's catalog, and a.b(...)
  // with no such schema is an error there.
  if (names->size() > 1) return out_of_scope(ctx, "qualified function name is left to compute");
  const std::string name = ascii_lower(*raw_name);
  if (member(body, "over"))
    return out_of_scope(ctx, "window functions are not supported in the metadata path");
  if (member(body, "agg_filter") || bool_member(body, "agg_within_group") ||
      list_member(body, "agg_order")) {
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
  if (!is_aggregate_name(name)) {
    // upper(DISTINCT x) is the service's error to report, not a value.
    if (bool_member(body, "agg_distinct"))
      return out_of_scope(ctx, "DISTINCT in a call of a function that is not an aggregate");
    return make_expr(FunctionCall{name, std::move(args)});
  }
  AggregateCall call;
  call.name = name;
  call.distinct = bool_member(body, "agg_distinct");
  call.star = bool_member(body, "agg_star") || (name == "count" && args.size() == 1 &&
                                                std::holds_alternative<Star>(args.front()->node));
  if (!call.star) call.args = std::move(args);
  return make_expr(std::move(call));
}

bool is_narrowed_type_name(std::string_view name) {
  return name == "char" || name == "bpchar" || name == "timestamptz" ||
         name == "timestamp_with_time_zone";
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
  if (list_member(*type_name, "arrayBounds"))
    return out_of_scope(ctx, "CAST to unsupported type: " + *name + "[]");
  Type target = type_from_name(*name);
  if (target == Type::Unknown) return out_of_scope(ctx, "CAST to unsupported type: " + *name);
  // The parser reads FLOAT as float8, the service as the 32-bit REAL.
  if (ascii_lower(*name) == "float8") {
    const std::string written = ascii_lower(text_at(ctx, *type_name, 6));
    if (written.rfind("float(", 0) == 0)
      return out_of_scope(ctx, "CAST to FLOAT(n) is left to compute");
    if (written.rfind("float", 0) == 0 && written != "float8") target = Type::Float32;
  }
  // A length or precision, a padded text type or a time zone would change
  // values in ways the engine does not reproduce.
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
    if (!node || node->kind != "CaseWhen" || !condition || !value)
      return malformed(ctx, "CASE branch without WHEN or THEN");
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
