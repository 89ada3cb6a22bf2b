#include <vector>

#include <arrow/type.h>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/relation_resolution_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

namespace {

constexpr size_t kMaxScopes = 256;

void collect(const RelationRegistry& registry, const FromItem* from, InnerNames& names, int depth);

// The names a derived table's select list produces. Where the engine's name
// for an item is not certain, a superset errs on the safe side: a name that
// is wrongly taken as inner fails at evaluation, never binds silently.
void output_names(const RelationRegistry& registry, const SelectStatement& statement,
                  std::set<std::string>& out, int depth) {
  for (size_t position = 0; position < statement.projection.size(); ++position) {
    const ProjectionItem& item = statement.projection[position];
    if (item.alias) {
      out.insert(ascii_lower(*item.alias));
      continue;
    }
    if (!item.expr) continue;
    if (std::holds_alternative<Star>(item.expr->node)) {
      InnerNames inner;
      collect(registry, statement.from.get(), inner, depth + 1);
      out.insert(inner.columns.begin(), inner.columns.end());
    } else if (const auto* ref = std::get_if<ColumnRef>(&item.expr->node)) {
      out.insert(ascii_lower(ref->name));
    } else if (const auto* call = std::get_if<AggregateCall>(&item.expr->node)) {
      out.insert(call->name);
      out.insert("count_star()");
      if (call->args.size() == 1 && call->args.front()) {
        if (const auto* arg = std::get_if<ColumnRef>(&call->args.front()->node)) {
          out.insert(call->name + "_" + ascii_lower(arg->name));
        }
      }
    } else {
      out.insert("expr_" + std::to_string(position));
    }
  }
}

void collect(const RelationRegistry& registry, const FromItem* from, InnerNames& names, int depth) {
  if (from == nullptr || depth > static_cast<int>(kMaxScopes)) return;
  std::visit(Overloaded{
                 [&](const RelationRef& ref) {
                   names.qualifiers.insert(ascii_lower(ref.alias ? *ref.alias : ref.name));
                   for (const std::string& key : candidate_keys(ref)) {
                     const CachedRelation* relation = registry.find(key);
                     if (relation == nullptr) continue;
                     for (const auto& field : relation->schema->fields())
                       names.columns.insert(ascii_lower(field->name()));
                     break;
                   }
                 },
                 [&](const std::unique_ptr<JoinClause>& join) {
                   if (!join) return;
                   collect(registry, join->left.get(), names, depth);
                   collect(registry, join->right.get(), names, depth);
                 },
                 [&](const SubqueryRef& sub) {
                   if (sub.alias) names.qualifiers.insert(ascii_lower(*sub.alias));
                   if (sub.statement) output_names(registry, *sub.statement, names.columns, depth);
                 },
                 [&](const ValuesTable& table) {
                   if (table.alias) names.qualifiers.insert(ascii_lower(*table.alias));
                   const size_t width = table.rows.empty() ? 0 : table.rows.front().size();
                   for (size_t i = 0; i < width; ++i) {
                     names.columns.insert(i < table.column_names.size()
                                              ? ascii_lower(table.column_names[i])
                                              : "col" + std::to_string(i));
                   }
                 },
             },
             from->node);
}

std::string written(const ColumnRef& ref) {
  return ref.qualifier.empty() ? ref.name : ref.qualifier + "." + ref.name;
}

// Walks a statement with the stack of scopes that enclose the current point,
// innermost last, and remembers the first reference none of them binds.
class ScopeChecker {
 public:
  explicit ScopeChecker(const RelationRegistry& registry) : registry_(registry) {}

  std::optional<std::string> found;

  void statement(const SelectStatement& s) {
    if (found) return;
    // Only a guard for the stack: execution refuses far shallower nesting.
    if (scopes_.size() >= kMaxScopes) {
      found = "(nesting too deep)";
      return;
    }
    // Derived tables see the enclosing scopes, not their siblings.
    if (s.from) derived_tables(*s.from);
    scopes_.push_back(inner_names(registry_, s.from.get()));
    if (s.from) join_conditions(*s.from);
    check(s.where);
    for (const ProjectionItem& item : s.projection) check(item.expr);
    for (const ExprPtr& key : s.group_by) check(key);
    scopes_.pop_back();
  }

  void from_tree(const FromItem& from) {
    derived_tables(from);
    scopes_.push_back(inner_names(registry_, &from));
    join_conditions(from);
    scopes_.pop_back();
  }

 private:
  void derived_tables(const FromItem& from) {
    if (const auto* sub = std::get_if<SubqueryRef>(&from.node)) {
      if (sub->statement) statement(*sub->statement);
    } else if (const auto* join = std::get_if<std::unique_ptr<JoinClause>>(&from.node)) {
      if (!*join) return;
      if ((*join)->left) derived_tables(*(*join)->left);
      if ((*join)->right) derived_tables(*(*join)->right);
    }
  }

  void join_conditions(const FromItem& from) {
    const auto* join = std::get_if<std::unique_ptr<JoinClause>>(&from.node);
    if (join == nullptr || !*join) return;
    check((*join)->condition);
    if ((*join)->left) join_conditions(*(*join)->left);
    if ((*join)->right) join_conditions(*(*join)->right);
  }

  void check(const ExprPtr& expr) {
    if (expr && !found) check(*expr);
  }

  void check(const Expr& expr) {
    if (const auto* ref = std::get_if<ColumnRef>(&expr.node)) return check_binding(*ref);
    for_each_operand(
        expr,
        [&](const Expr& operand) {
          check(operand);
          return !found;
        },
        [&](const SelectStatement* nested) {
          if (nested) statement(*nested);
          return !found;
        });
  }

  void check_binding(const ColumnRef& ref) {
    for (const InnerNames& scope : scopes_) {
      if (binds(scope, ref)) return;
    }
    if (!found) found = written(ref);
  }

  const RelationRegistry& registry_;
  std::vector<InnerNames> scopes_;
};

}  // namespace

InnerNames inner_names(const RelationRegistry& registry, const FromItem* from) {
  InnerNames names;
  collect(registry, from, names, 0);
  return names;
}

bool binds(const InnerNames& names, const ColumnRef& ref) {
  if (!ref.qualifier.empty()) return names.qualifiers.count(ascii_lower(ref.qualifier)) > 0;
  return names.columns.count(ascii_lower(ref.name)) > 0;
}

std::optional<std::string> outer_reference(const RelationRegistry& registry,
                                           const SelectStatement& statement) {
  ScopeChecker checker(registry);
  checker.statement(statement);
  return checker.found;
}

std::optional<std::string> outer_reference(const RelationRegistry& registry, const FromItem& from) {
  ScopeChecker checker(registry);
  checker.from_tree(from);
  return checker.found;
}

}  // namespace zv_sql::internal
