// The plain-data model of one SELECT statement, as the front end builds it and
// the executor walks it. Every child has exactly one owner; trees are never
// shared, so destroying a statement releases every level exactly once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "metadata_engine/types.h"

namespace zv_sql {

struct Expr;
struct SelectStatement;
struct FromItem;
using ExprPtr = std::unique_ptr<Expr>;
using SelectPtr = std::unique_ptr<SelectStatement>;
using FromItemPtr = std::unique_ptr<FromItem>;

enum class CompareOp { Eq, Ne, Lt, Le, Gt, Ge };
enum class ArithOp { Add, Sub, Mul, Div, Mod, Concat };
enum class LogicalOp { And, Or };
enum class UnaryOp { Not, Negate, IsNull, IsNotNull };
enum class JoinType { Inner, Left, Right, Full, Semi, Anti, Cross };

struct ColumnRef {
  std::string qualifier;
  std::string name;
};

struct Literal {
  using Value = std::variant<std::monostate, bool, int64_t, double, std::string>;
  Value value;
  Type type = Type::Null;
  // Written as a decimal constant (0.1): SQL computes with its exact decimal
  // value, which the double held here only approximates.
  bool decimal = false;
  // Written as an integer constant: SQL types it by its value (INTEGER when
  // it fits 32 bits, else BIGINT) and, beside a narrower integer operand that
  // can hold it, as that operand's type. Values the engine makes itself
  // (subquery results) keep the type they came with.
  bool adaptable = false;
};

struct Comparison {
  CompareOp op = CompareOp::Eq;
  ExprPtr left;
  ExprPtr right;
};

struct Arithmetic {
  ArithOp op = ArithOp::Add;
  ExprPtr left;
  ExprPtr right;
};

struct Logical {
  LogicalOp op = LogicalOp::And;
  ExprPtr left;
  ExprPtr right;
};

struct Unary {
  UnaryOp op = UnaryOp::Not;
  ExprPtr operand;
};

struct InList {
  ExprPtr operand;
  std::vector<ExprPtr> items;
  SelectPtr subquery;  // set only for IN (SELECT ...)
};

struct Like {
  ExprPtr operand;
  ExprPtr pattern;
  char escape = '\\';
  bool case_insensitive = false;
};

struct CaseBranch {
  ExprPtr when;
  ExprPtr then;
};

struct Case {
  ExprPtr operand;  // present for CASE x WHEN ...
  std::vector<CaseBranch> branches;
  ExprPtr else_;
};

struct Cast {
  ExprPtr operand;
  Type target = Type::Unknown;
};

struct FunctionCall {
  std::string name;  // lower case
  std::vector<ExprPtr> args;
};

struct Star {
  std::string qualifier;
};

struct Exists {
  SelectPtr subquery;
  bool negated = false;
};

struct AggregateCall {
  std::string name;  // lower case
  std::vector<ExprPtr> args;
  bool distinct = false;
  bool star = false;
};

struct ScalarSubquery {
  SelectPtr subquery;
};

struct Expr {
  using Node =
      std::variant<ColumnRef, Literal, Comparison, Arithmetic, Logical, Unary, InList, Like, Case,
                   Cast, FunctionCall, Star, Exists, AggregateCall, ScalarSubquery>;
  Node node;

  template <typename T>
  explicit Expr(T alternative) : node(std::move(alternative)) {}
};

template <typename T>
ExprPtr make_expr(T alternative) {
  return std::make_unique<Expr>(std::move(alternative));
}

struct ProjectionItem {
  ExprPtr expr;
  std::optional<std::string> alias;
};

struct OrderItem {
  int64_t ordinal = 0;
  bool is_ordinal = false;
  ExprPtr expr;  // empty when is_ordinal
  bool descending = false;
  bool nulls_first = false;
  bool nulls_explicit = false;
};

struct RelationRef {
  std::string catalog;
  std::string schema;
  std::string name;
  std::optional<std::string> alias;
};

struct JoinClause {
  JoinType type = JoinType::Cross;
  FromItemPtr left;
  FromItemPtr right;
  ExprPtr condition;
  std::vector<std::string> using_;
  bool natural = false;
};

struct SubqueryRef {
  SelectPtr statement;
  std::optional<std::string> alias;  // the name qualified references use
};

struct ValuesTable {
  std::vector<std::vector<ExprPtr>> rows;
  std::optional<std::string> alias;
  std::vector<std::string> column_names;
};

struct FromItem {
  using Node = std::variant<RelationRef, std::unique_ptr<JoinClause>, SubqueryRef, ValuesTable>;
  Node node;

  template <typename T>
  explicit FromItem(T alternative) : node(std::move(alternative)) {}
};

struct SelectStatement {
  std::vector<ProjectionItem> projection;
  FromItemPtr from;
  ExprPtr where;
  std::vector<ExprPtr> group_by;
  std::vector<OrderItem> order_by;
  std::optional<int64_t> limit;
  std::optional<int64_t> offset;
  bool distinct = false;
};

}  // namespace zv_sql
