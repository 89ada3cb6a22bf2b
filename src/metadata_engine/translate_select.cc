// Parse-tree SELECT statements and FROM items to SelectStatement, and the
// parse_select entry point.
#include <arrow/util/utf8.h>

#include <cctype>

#include "metadata_engine/arrow_init_internal.h"
#include "metadata_engine/parse_select.h"
#include "metadata_engine/pg_parse_tree_internal.h"
#include "metadata_engine/translate_context_internal.h"
#include "util/ascii.h"

namespace zv_sql::internal {

namespace {

FromItemPtr translate_from_item(TranslateContext& ctx, const json* value);

bool identifier_byte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || c == '_' || c == '$' || byte >= 0x80;
}

// The parser folds an unquoted name to lower case and cuts it at 63 bytes,
// where the service names a column as written ("AS TableName" gives
// TableName). The written name is the text's spelling of it when the text
// spells it, ignoring case, the same way wherever it appears; otherwise the
// service's name is unknown here.
std::optional<std::string> written_name(std::string_view sql, std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::optional<std::string_view> spelling;
  for (size_t at = 0; at + name.size() <= sql.size(); ++at) {
    const std::string_view here = sql.substr(at, name.size());
    if (!zv::ascii_iequals(here, name)) continue;
    if ((at > 0 && identifier_byte(sql[at - 1])) ||
        (at + name.size() < sql.size() && identifier_byte(sql[at + name.size()]))) {
      continue;
    }
    if (spelling && *spelling != here) return std::nullopt;
    spelling = here;
  }
  if (!spelling) return std::nullopt;
  return std::string(*spelling);
}

FromItemPtr fail_from(TranslateContext& ctx, ParseCode code, std::string message) {
  ctx.fail(code, std::move(message));
  return nullptr;
}

FromItemPtr translate_range_var(TranslateContext& ctx, const json& body) {
  // FROM ONLY t: the service's parser refuses the inheritance marker.
  if (!bool_member(body, "inh"))
    return fail_from(ctx, ParseCode::OutOfScope, "FROM ONLY is left to compute");
  RelationRef ref;
  ref.catalog = string_member(body, "catalogname").value_or("");
  ref.schema = string_member(body, "schemaname").value_or("");
  ref.name = string_member(body, "relname").value_or("");
  if (const json* alias = member(body, "alias")) {
    // Renamed columns cannot be expressed by a relation reference; answering
    // under the original names would be wrong.
    if (list_member(*alias, "colnames")) {
      return fail_from(ctx, ParseCode::OutOfScope,
                       "column aliases on a table reference are out of scope");
    }
    ref.alias = string_member(*alias, "aliasname");
  }
  return std::make_unique<FromItem>(std::move(ref));
}

std::optional<JoinType> join_type(std::string_view name) {
  if (name == "JOIN_INNER") return JoinType::Inner;
  if (name == "JOIN_LEFT") return JoinType::Left;
  if (name == "JOIN_RIGHT") return JoinType::Right;
  if (name == "JOIN_FULL") return JoinType::Full;
  if (name == "JOIN_SEMI") return JoinType::Semi;
  if (name == "JOIN_ANTI") return JoinType::Anti;
  return std::nullopt;
}

FromItemPtr translate_join(TranslateContext& ctx, const json& body) {
  auto type = join_type(enum_member(body, "jointype"));
  if (!type)
    return fail_from(ctx, ParseCode::OutOfScope, "join type not supported in metadata path");
  const json* larg = member(body, "larg");
  const json* rarg = member(body, "rarg");
  if (larg == nullptr || rarg == nullptr)
    return fail_from(ctx, ParseCode::Malformed, "JOIN missing operand");
  auto join = std::make_unique<JoinClause>();
  join->type = *type;
  if (!(join->left = translate_from_item(ctx, larg))) return nullptr;
  if (!(join->right = translate_from_item(ctx, rarg))) return nullptr;
  join->natural = bool_member(body, "isNatural");
  if (const json* names = list_member(body, "usingClause")) {
    for (const json& name : *names) {
      if (auto text = string_node(&name)) join->using_.push_back(std::move(*text));
    }
  }
  if (const json* quals = member(body, "quals")) {
    if (!(join->condition = translate_expr(ctx, quals))) return nullptr;
  }
  if (!join->condition && join->using_.empty() && !join->natural) join->type = JoinType::Cross;
  return std::make_unique<FromItem>(std::move(join));
}

FromItemPtr translate_values_table(TranslateContext& ctx, const json& select_body,
                                   const json& subselect) {
  const json* lists = list_member(select_body, "valuesLists");
  if (lists == nullptr) return fail_from(ctx, ParseCode::Malformed, "VALUES with empty list");
  // ORDER BY, LIMIT or a WITH on the VALUES itself would change its rows;
  // the table below has no place for them.
  for (const char* clause :
       {"sortClause", "limitCount", "limitOffset", "withClause", "lockingClause"}) {
    if (member(select_body, clause)) {
      return fail_from(ctx, ParseCode::OutOfScope,
                       "VALUES with ORDER BY, LIMIT or WITH is out of scope");
    }
  }
  ValuesTable table;
  for (const json& list : *lists) {
    auto row_node = as_node(&list);
    std::vector<ExprPtr> row;
    if (const json* items = row_node ? list_member(*row_node->body, "items") : nullptr) {
      for (const json& item : *items) {
        ExprPtr converted = translate_expr(ctx, &item);
        if (!converted) return nullptr;
        row.push_back(std::move(converted));
      }
    }
    table.rows.push_back(std::move(row));
  }
  if (const json* alias = member(subselect, "alias")) {
    table.alias = string_member(*alias, "aliasname");
    if (const json* names = list_member(*alias, "colnames")) {
      for (const json& name : *names) {
        std::optional<std::string> written = written_name(ctx.sql, string_node(&name).value_or(""));
        if (!written) return fail_from(ctx, ParseCode::OutOfScope, "a column name not as written");
        table.column_names.push_back(std::move(*written));
      }
    }
  }
  return std::make_unique<FromItem>(std::move(table));
}

FromItemPtr translate_range_subselect(TranslateContext& ctx, const json& body) {
  if (bool_member(body, "lateral")) {
    return fail_from(ctx, ParseCode::OutOfScope, "FROM target kind not supported in metadata path");
  }
  auto inner = as_node(member(body, "subquery"));
  if (!inner || inner->kind != "SelectStmt") {
    return fail_from(ctx, ParseCode::Malformed, "PGRangeSubselect missing inner SelectStmt");
  }
  if (member(*inner->body, "valuesLists")) return translate_values_table(ctx, *inner->body, body);
  std::optional<std::string> alias;
  if (const json* alias_node = member(body, "alias")) {
    // Renamed columns would be answered under the inner names, which the
    // outer query may use for other columns.
    if (list_member(*alias_node, "colnames")) {
      return fail_from(ctx, ParseCode::OutOfScope,
                       "column aliases on a derived table are out of scope");
    }
    alias = string_member(*alias_node, "aliasname");
  }
  SelectPtr statement = translate_select(ctx, *inner->body);
  if (!statement) return nullptr;
  return std::make_unique<FromItem>(SubqueryRef{std::move(statement), std::move(alias)});
}

FromItemPtr translate_from_item(TranslateContext& ctx, const json* value) {
  if (ctx.failed) return nullptr;
  DepthGuard depth(ctx);
  if (depth.too_deep()) return nullptr;
  auto node = as_node(value);
  if (!node) return fail_from(ctx, ParseCode::Malformed, "null tableref");
  if (node->kind == "RangeVar") return translate_range_var(ctx, *node->body);
  if (node->kind == "JoinExpr") return translate_join(ctx, *node->body);
  if (node->kind == "RangeSubselect") return translate_range_subselect(ctx, *node->body);
  return fail_from(ctx, ParseCode::OutOfScope, "FROM target kind not supported in metadata path");
}

// Comma-separated FROM items become a left-deep chain of cross joins.
// The chain nests one level per item, so a long list counts against the
// nesting bound like any other nesting.
FromItemPtr translate_from_list(TranslateContext& ctx, const json& list) {
  if (ctx.depth + static_cast<int>(list.size()) > kMaxNestingDepth) {
    return fail_from(ctx, ParseCode::OutOfScope,
                     "statement nesting too deep for the metadata path");
  }
  FromItemPtr result;
  for (const json& item : list) {
    FromItemPtr next = translate_from_item(ctx, &item);
    if (!next) return nullptr;
    if (!result) {
      result = std::move(next);
      continue;
    }
    auto join = std::make_unique<JoinClause>();
    join->type = JoinType::Cross;
    join->left = std::move(result);
    join->right = std::move(next);
    result = std::make_unique<FromItem>(std::move(join));
  }
  return result;
}

bool translate_projection(TranslateContext& ctx, const json& targets, SelectStatement& out) {
  for (const json& target : targets) {
    auto node = as_node(&target);
    if (!node || node->kind != "ResTarget") {
      ctx.fail(ParseCode::Malformed, "select list entry is not a target");
      return false;
    }
    ProjectionItem item;
    if (!(item.expr = translate_expr(ctx, member(*node->body, "val")))) return false;
    if (std::optional<std::string> alias = string_member(*node->body, "name")) {
      if (!(item.alias = written_name(ctx.sql, *alias))) {
        ctx.fail(ParseCode::OutOfScope, "a select item's alias not as written");
        return false;
      }
    }
    out.projection.push_back(std::move(item));
  }
  return true;
}

bool translate_order_by(TranslateContext& ctx, const json& sort_items, SelectStatement& out) {
  for (const json& sort : sort_items) {
    auto node = as_node(&sort);
    if (!node || node->kind != "SortBy") {
      ctx.fail(ParseCode::Malformed, "ORDER BY entry is not a sort item");
      return false;
    }
    const json& body = *node->body;
    const std::string direction = enum_member(body, "sortby_dir");
    if (direction == "SORTBY_USING") {
      ctx.fail(ParseCode::OutOfScope, "ORDER BY ... USING is out of scope");
      return false;
    }
    OrderItem item;
    const json* key = member(body, "node");
    auto key_node = as_node(key);
    if (key_node && key_node->kind == "A_Const" && member(*key_node->body, "ival")) {
      auto ordinal = integer_constant(ctx, *key_node->body);
      if (!ordinal) return false;
      item.is_ordinal = true;
      item.ordinal = *ordinal;
    } else if (!(item.expr = translate_expr(ctx, key))) {
      return false;
    }
    item.descending = direction == "SORTBY_DESC";
    const std::string nulls = enum_member(body, "sortby_nulls");
    item.nulls_first = nulls == "SORTBY_NULLS_FIRST";
    item.nulls_explicit = item.nulls_first || nulls == "SORTBY_NULLS_LAST";
    out.order_by.push_back(std::move(item));
  }
  return true;
}

std::optional<int64_t> translate_limit_value(TranslateContext& ctx, const json& value) {
  auto node = as_node(&value);
  if (!node || node->kind != "A_Const") {
    ctx.fail(ParseCode::OutOfScope, "LIMIT/OFFSET with non-literal expression");
    return std::nullopt;
  }
  if (!member(*node->body, "ival")) {
    ctx.fail(ParseCode::OutOfScope, "LIMIT/OFFSET with non-integer literal");
    return std::nullopt;
  }
  std::optional<int64_t> count = integer_constant(ctx, *node->body);
  // Compute refuses a negative count rather than reading it as 0 or none.
  if (count && *count < 0) {
    ctx.fail(ParseCode::OutOfScope, "negative LIMIT/OFFSET is left to compute");
    return std::nullopt;
  }
  return count;
}

// The scope checks of one SELECT, in the order their messages take priority.
bool check_select_scope(TranslateContext& ctx, const json& body, SelectStatement& out) {
  auto reject = [&](ParseCode code, const char* message) {
    ctx.fail(code, message);
    return false;
  };
  if (enum_member(body, "op") != "SETOP_NONE" && !enum_member(body, "op").empty()) {
    return reject(ParseCode::OutOfScope,
                  "set operations (UNION/INTERSECT/EXCEPT) are out of scope");
  }
  if (member(body, "larg") || member(body, "rarg")) {
    return reject(ParseCode::OutOfScope,
                  "set operations (UNION/INTERSECT/EXCEPT) are out of scope");
  }
  if (member(body, "withClause"))
    return reject(ParseCode::OutOfScope, "WITH (CTE) is out of scope");
  if (member(body, "havingClause")) return reject(ParseCode::OutOfScope, "HAVING is out of scope");
  if (list_member(body, "windowClause"))
    return reject(ParseCode::OutOfScope, "window functions are out of scope");
  if (member(body, "valuesLists"))
    return reject(ParseCode::OutOfScope, "VALUES list is out of scope");
  if (list_member(body, "lockingClause"))
    return reject(ParseCode::OutOfScope, "FOR UPDATE / SHARE is out of scope");
  // SELECT ... INTO creates a table: never something to answer from a cache.
  if (member(body, "intoClause"))
    return reject(ParseCode::OutOfScope, "SELECT INTO is out of scope");
  if (enum_member(body, "limitOption") == "LIMIT_OPTION_WITH_TIES") {
    return reject(ParseCode::OutOfScope, "FETCH FIRST ... WITH TIES is out of scope");
  }
  if (const json* distinct = list_member(body, "distinctClause")) {
    // Plain DISTINCT is a list holding one empty entry; DISTINCT ON lists expressions.
    if (as_node(&distinct->front()))
      return reject(ParseCode::OutOfScope, "DISTINCT ON is out of scope");
    out.distinct = true;
  }
  if (!list_member(body, "fromClause"))
    return reject(ParseCode::OutOfScope, "SELECT without FROM clause");
  if (!list_member(body, "targetList"))
    return reject(ParseCode::Malformed, "SELECT with no projection");
  return true;
}

}  // namespace

SelectPtr translate_select(TranslateContext& ctx, const json& body) {
  if (ctx.failed) return nullptr;
  DepthGuard depth(ctx);
  if (depth.too_deep()) return nullptr;
  auto out = std::make_unique<SelectStatement>();
  if (!check_select_scope(ctx, body, *out)) return nullptr;
  if (!(out->from = translate_from_list(ctx, *list_member(body, "fromClause")))) return nullptr;
  if (!translate_projection(ctx, *list_member(body, "targetList"), *out)) return nullptr;
  if (const json* where = member(body, "whereClause")) {
    if (!(out->where = translate_expr(ctx, where))) return nullptr;
  }
  if (const json* sort = list_member(body, "sortClause")) {
    if (!translate_order_by(ctx, *sort, *out)) return nullptr;
  }
  if (const json* groups = list_member(body, "groupClause")) {
    for (const json& group : *groups) {
      ExprPtr key = translate_expr(ctx, &group);
      if (!key) return nullptr;
      out->group_by.push_back(std::move(key));
    }
  }
  if (const json* limit = member(body, "limitCount")) {
    if (!(out->limit = translate_limit_value(ctx, *limit))) return nullptr;
  }
  if (const json* offset = member(body, "limitOffset")) {
    if (!(out->offset = translate_limit_value(ctx, *offset))) return nullptr;
  }
  return out;
}

}  // namespace zv_sql::internal

namespace zv_sql {

namespace {

SelectPtr parse_select_unguarded(std::string_view sql, ParseStatus& status) {
  using namespace internal;
  TranslateContext ctx{&status, false, sql, 0};
  // The parser would stop reading at a NUL byte and silently answer for a
  // prefix of the statement.
  if (sql.find('\0') != std::string_view::npos) {
    ctx.fail(ParseCode::Malformed, "SQL text contains a NUL byte");
    return nullptr;
  }
  if (arrow::Status init = ensure_arrow_initialized(); !init.ok()) {
    ctx.fail(ParseCode::ParserThrew, "libpg_query threw: " + init.ToString());
    return nullptr;
  }
  if (!arrow::util::ValidateUTF8(reinterpret_cast<const uint8_t*>(sql.data()),
                                 static_cast<int64_t>(sql.size()))) {
    ctx.fail(ParseCode::OutOfScope, "SQL text is not valid UTF-8");
    return nullptr;
  }
  const ParseTree tree = parse_to_json_tree(sql, status);
  if (!tree) return nullptr;
  const json* statements = list_member(*tree, "stmts");
  if (statements == nullptr) {
    ctx.fail(ParseCode::Malformed, "libpg_query produced empty parse tree");
    return nullptr;
  }
  if (statements->size() > 1) {
    ctx.fail(ParseCode::OutOfScope, "multi-statement SQL is out of scope");
    return nullptr;
  }
  const json& raw = statements->front();
  if (!raw.is_object()) {
    ctx.fail(ParseCode::Malformed, "libpg_query produced null parse node");
    return nullptr;
  }
  auto inner = as_node(member(raw, "stmt"));
  if (!inner) {
    ctx.fail(ParseCode::Malformed, "PGRawStmt with null inner statement");
    return nullptr;
  }
  if (inner->kind != "SelectStmt") {
    ctx.fail(ParseCode::OutOfScope, "not a SELECT statement");
    return nullptr;
  }
  return translate_select(ctx, *inner->body);
}

}  // namespace

SelectPtr parse_select(std::string_view sql, ParseStatus& status) {
  status = ParseStatus{};
  try {
    SelectPtr result = parse_select_unguarded(sql, status);
    if (status.code != ParseCode::None) return nullptr;
    return result;
  } catch (const std::exception& e) {
    status = ParseStatus{ParseCode::ParserThrew, std::string("libpg_query threw: ") + e.what(), -1};
  } catch (...) {
    status = ParseStatus{ParseCode::ParserThrew, "libpg_query threw (unknown)", -1};
  }
  return nullptr;
}

}  // namespace zv_sql
