// Shared state and node helpers of the parse-tree translators.
//
// The parser's JSON tree spells every node as a one-member object
// {"NodeKind": {fields...}}; fields holding their type's default value (0,
// false, empty) are left out of the text, so every accessor treats a missing
// member as "absent" rather than as an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "metadata_engine/parse_select.h"

namespace zv_sql::internal {

using nlohmann::json;

// Nesting beyond this is refused (and sent to compute) rather than translated,
// so that neither translation nor evaluation can exhaust the stack.
inline constexpr int kMaxNestingDepth = 200;

struct TranslateContext {
  ParseStatus* status = nullptr;
  bool failed = false;
  std::string_view sql;  // the statement text, for reading constants back
  int depth = 0;

  // Records the first failure only; later ones are consequences of it.
  void fail(ParseCode code, std::string message) {
    if (failed) return;
    status->code = code;
    status->message = std::move(message);
    status->location = -1;
    failed = true;
  }
};

// Counts one level of nesting for as long as it lives.
class DepthGuard {
 public:
  explicit DepthGuard(TranslateContext& ctx) : ctx_(ctx) {
    if (++ctx_.depth > kMaxNestingDepth) {
      ctx_.fail(ParseCode::OutOfScope, "statement nesting too deep for the metadata path");
    }
  }
  ~DepthGuard() { --ctx_.depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool too_deep() const { return ctx_.depth > kMaxNestingDepth; }

 private:
  TranslateContext& ctx_;
};

struct PgNode {
  std::string_view kind;
  const json* body = nullptr;
};

// A node is an object with exactly one member whose value is an object.
inline std::optional<PgNode> as_node(const json* value) {
  if (value == nullptr || !value->is_object() || value->size() != 1) return std::nullopt;
  auto it = value->begin();
  if (!it.value().is_object()) return std::nullopt;
  return PgNode{it.key(), &it.value()};
}

// Member `name` of an object, or null when it is absent or explicitly null.
inline const json* member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(name);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

inline const json* list_member(const json& object, const char* name) {
  const json* list = member(object, name);
  return (list && list->is_array() && !list->empty()) ? list : nullptr;
}

inline std::optional<std::string> string_member(const json& object, const char* name) {
  const json* value = member(object, name);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

inline bool bool_member(const json& object, const char* name) {
  const json* value = member(object, name);
  return value && value->is_boolean() && value->get<bool>();
}

inline std::string enum_member(const json& object, const char* name) {
  return string_member(object, name).value_or("");
}

// The text of a String node ({"String": {"sval": ...}}), an empty sval being
// left out by the printer.
inline std::optional<std::string> string_node(const json* value) {
  auto node = as_node(value);
  if (!node || node->kind != "String") return std::nullopt;
  return string_member(*node->body, "sval").value_or("");
}

// The value of an integer constant (the body of an A_Const holding "ival").
// The printer leaves out zero and, by a fault in this parser version, every
// negative value as well; those are read back from the statement text at the
// constant's position, where only signs, brackets, blanks and comments can
// precede the digits.
std::optional<int64_t> integer_constant(TranslateContext& ctx, const json& a_const);

// The two mutually recursive translators. Both return null after recording a
// failure in `ctx`, and callers stop at the first null.
ExprPtr translate_expr(TranslateContext& ctx, const json* node);
SelectPtr translate_select(TranslateContext& ctx, const json& select_stmt_body);

}  // namespace zv_sql::internal
