#include "metadata_engine/name_binding_internal.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include <arrow/array.h>
#include <arrow/type.h>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/relation_resolution_internal.h"

namespace zv_sql::internal {

namespace {

// One FROM item as a binder sees it; names are lower case.
struct Binding {
  std::string name;  // empty: reachable by unqualified names only
  std::vector<std::string> columns;
};

struct BindingScope {
  std::vector<Binding> bindings;
  std::vector<std::string> merged;  // USING / NATURAL columns, unambiguous unqualified
};

using Scopes = std::vector<const BindingScope*>;

using Problem = std::optional<std::string>;

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The name the service gives an unaliased select item (lower case for a
// column), or nothing when only its text would say.
std::optional<std::string> plain_output_name(const Expr& expr) {
  if (const auto* ref = std::get_if<ColumnRef>(&expr.node)) return ascii_lower(ref->name);
  return constant_output_name(expr);
}

Problem unnamed_output(const SelectStatement& statement) {
  for (const ProjectionItem& item : statement.projection) {
    if (item.alias || !item.expr || std::holds_alternative<Star>(item.expr->node)) continue;
    if (!plain_output_name(*item.expr)) {
      return std::string(
          "a select item without an alias is named by its text on the service; left to compute");
    }
  }
  return std::nullopt;
}

// Whether the snapshot's catalog is called `catalog` (the service compares
// catalog names ignoring case).
bool is_snapshot_catalog(const RelationRegistry& registry, const std::string& catalog) {
  const CachedRelation* catalogs = registry.find("information_schema.catalogs");
  if (catalogs == nullptr || !catalogs->rows_known) return false;
  const int index = catalogs->schema->GetFieldIndex("catalog_name");
  if (index < 0 || catalogs->schema->field(index)->type()->id() != arrow::Type::STRING)
    return false;
  for (const auto& batch : catalogs->batches) {
    const auto& names = static_cast<const arrow::StringArray&>(*batch->column(index));
    for (int64_t i = 0; i < names.length(); ++i) {
      if (names.IsValid(i) && ascii_iequals(names.GetView(i), catalog)) return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> constant_output_name(const Expr& expr) {
  if (const auto* call = std::get_if<AggregateCall>(&expr.node); call && call->star)
    return std::string("count_star()");
  const auto* literal = std::get_if<Literal>(&expr.node);
  if (literal == nullptr) return std::nullopt;
  return std::visit(
      Overloaded{
          [](std::monostate) -> std::optional<std::string> { return std::string("NULL"); },
          [](bool v) -> std::optional<std::string> { return std::string(v ? "true" : "false"); },
          [&](int64_t v) -> std::optional<std::string> {
            // Zero may have been written -0, which the service keeps in the name.
            if (!literal->adaptable || v == 0) return std::nullopt;
            return std::to_string(v);
          },
          [](double) -> std::optional<std::string> { return std::nullopt; },
          [](const std::string& v) -> std::optional<std::string> {
            // Plain text only: how the service spells quotes, escapes and
            // other characters in a name is its own business.
            for (const char c : v) {
              if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '_')
                return std::nullopt;
            }
            return "'" + v + "'";
          },
      },
      literal->value);
}

namespace {

class Binder {
 public:
  explicit Binder(const RelationRegistry& registry) : registry_(registry) {}

  // `outer` holds the scopes of the statements this one is nested in,
  // innermost last: a subquery's names may refer to them.
  // `own`, when given, receives the statement's FROM scope.
  Problem statement(const SelectStatement& s, bool output_visible, const Scopes& outer,
                    BindingScope* own = nullptr) {
    if (output_visible) {
      if (Problem p = unnamed_output(s)) return p;
    }
    BindingScope scope;
    if (s.from) {
      if (Problem p = from_item(*s.from, scope, outer)) return p;
    }
    Scopes scopes = outer;
    scopes.push_back(&scope);
    for (size_t i = 0; i < scope.bindings.size(); ++i) {
      for (size_t j = i + 1; j < scope.bindings.size(); ++j) {
        if (!scope.bindings[i].name.empty() && scope.bindings[i].name == scope.bindings[j].name) {
          return "two FROM items named " + scope.bindings[i].name;
        }
      }
    }
    if (s.from) {
      if (Problem p = join_conditions(*s.from, scopes)) return p;
    }
    std::vector<std::string> aliases;
    for (const ProjectionItem& item : s.projection) {
      if (item.alias) aliases.push_back(ascii_lower(*item.alias));
    }
    if (s.where) {
      if (Problem p = expression(*s.where, scopes, {})) return p;
    }
    for (const ProjectionItem& item : s.projection) {
      if (!item.expr) continue;
      if (const auto* star = std::get_if<Star>(&item.expr->node)) {
        if (!star->qualifier.empty() && !find_binding(scope, star->qualifier))
          return "unknown relation " + star->qualifier;
        continue;
      }
      if (Problem p = expression(*item.expr, scopes, {})) return p;
    }
    for (const ExprPtr& key : s.group_by) {
      if (key) {
        if (Problem p = expression(*key, scopes, aliases)) return p;
      }
    }
    for (const OrderItem& item : s.order_by) {
      if (item.expr) {
        if (Problem p = expression(*item.expr, scopes, aliases)) return p;
      }
    }
    if (own != nullptr) *own = std::move(scope);
    return std::nullopt;
  }

 private:
  static const Binding* find_binding(const BindingScope& scope, const std::string& name) {
    const std::string lowered = ascii_lower(name);
    for (const Binding& binding : scope.bindings) {
      if (!binding.name.empty() && binding.name == lowered) return &binding;
    }
    return nullptr;
  }

  Problem from_item(const FromItem& from, BindingScope& scope, const Scopes& outer) {
    return std::visit(
        Overloaded{
            [&](const RelationRef& ref) -> Problem {
              if (!ref.catalog.empty() && !is_snapshot_catalog(registry_, ref.catalog)) {
                return "catalog " + ref.catalog + " is not the snapshot's";
              }
              Binding binding{ascii_lower(ref.alias ? *ref.alias : ref.name), {}};
              for (const std::string& key : candidate_keys(ref)) {
                if (const CachedRelation* relation = registry_.find(key)) {
                  for (const auto& field : relation->schema->fields())
                    binding.columns.push_back(ascii_lower(field->name()));
                  break;
                }
              }
              scope.bindings.push_back(std::move(binding));
              return std::nullopt;
            },
            [&](const std::unique_ptr<JoinClause>& join) -> Problem {
              if (!join || !join->left || !join->right) return std::string("invalid join");
              BindingScope left, right;
              if (Problem p = from_item(*join->left, left, outer)) return p;
              if (Problem p = from_item(*join->right, right, outer)) return p;
              std::vector<std::string> merged = join->using_;
              for (std::string& name : merged) name = ascii_lower(name);
              if (join->natural) {
                for (const std::string& name : all_columns(left)) {
                  if (contains(all_columns(right), name) && !contains(merged, name))
                    merged.push_back(name);
                }
                if (merged.empty()) return std::string("NATURAL join without shared columns");
              }
              for (Binding& b : left.bindings) scope.bindings.push_back(std::move(b));
              for (Binding& b : right.bindings) scope.bindings.push_back(std::move(b));
              for (auto* list : {&left.merged, &right.merged, &merged}) {
                scope.merged.insert(scope.merged.end(), list->begin(), list->end());
              }
              return std::nullopt;
            },
            [&](const SubqueryRef& sub) -> Problem {
              if (!sub.statement) return std::string("invalid subquery");
              // The outer query sees the derived table's columns by name.
              // A derived table sees the enclosing statements, not its siblings.
              BindingScope inner;
              if (Problem p = statement(*sub.statement, /*output_visible=*/true, outer, &inner))
                return p;
              Binding binding{sub.alias ? ascii_lower(*sub.alias) : "", {}};
              for (const ProjectionItem& item : sub.statement->projection) {
                if (!item.expr) continue;
                if (item.alias) {
                  binding.columns.push_back(ascii_lower(*item.alias));
                } else if (const auto* star = std::get_if<Star>(&item.expr->node)) {
                  for (const Binding& b : inner.bindings) {
                    if (star->qualifier.empty() || b.name == ascii_lower(star->qualifier)) {
                      binding.columns.insert(binding.columns.end(), b.columns.begin(),
                                             b.columns.end());
                    }
                  }
                } else if (auto name = plain_output_name(*item.expr)) {
                  binding.columns.push_back(*name);
                }
              }
              scope.bindings.push_back(std::move(binding));
              return std::nullopt;
            },
            [&](const ValuesTable& table) -> Problem {
              Binding binding{table.alias ? ascii_lower(*table.alias) : "", {}};
              const size_t width = table.rows.empty() ? 0 : table.rows.front().size();
              for (size_t i = 0; i < width; ++i) {
                binding.columns.push_back(i < table.column_names.size()
                                              ? ascii_lower(table.column_names[i])
                                              : "col" + std::to_string(i));
              }
              scope.bindings.push_back(std::move(binding));
              return std::nullopt;
            },
        },
        from.node);
  }

  static std::vector<std::string> all_columns(const BindingScope& scope) {
    std::vector<std::string> names;
    for (const Binding& b : scope.bindings)
      names.insert(names.end(), b.columns.begin(), b.columns.end());
    return names;
  }

  // ON conditions see the whole FROM clause's names (a stricter rule, that
  // they see only the two sides, only makes the engine decline more).
  Problem join_conditions(const FromItem& from, const Scopes& scopes) {
    const auto* join = std::get_if<std::unique_ptr<JoinClause>>(&from.node);
    if (join == nullptr || !*join) return std::nullopt;
    if ((*join)->condition) {
      if (Problem p = expression(*(*join)->condition, scopes, {})) return p;
    }
    if ((*join)->left) {
      if (Problem p = join_conditions(*(*join)->left, scopes)) return p;
    }
    if ((*join)->right) return join_conditions(*(*join)->right, scopes);
    return std::nullopt;
  }

  // The innermost scope that knows the name decides, as in SQL; within it
  // the name must be unique (or a USING/NATURAL column). Select-list aliases
  // count for GROUP BY and ORDER BY.
  static Problem column(const ColumnRef& ref, const Scopes& scopes,
                        const std::vector<std::string>& aliases) {
    const std::string name = ascii_lower(ref.name);
    const std::string written = ref.qualifier.empty() ? ref.name : ref.qualifier + "." + ref.name;
    for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {
      const BindingScope& scope = **it;
      if (!ref.qualifier.empty()) {
        const Binding* binding = find_binding(scope, ref.qualifier);
        if (binding == nullptr) continue;
        if (!contains(binding->columns, name)) return "unknown column " + written;
        return std::nullopt;
      }
      int found = 0;
      for (const Binding& binding : scope.bindings) {
        found += static_cast<int>(std::count(binding.columns.begin(), binding.columns.end(), name));
      }
      if (found == 1 || (found > 1 && contains(scope.merged, name))) return std::nullopt;
      if (found > 1) return "ambiguous column " + written;
      if (it == scopes.rbegin() && contains(aliases, name)) return std::nullopt;
    }
    return ref.qualifier.empty() ? "unknown column " + written : "unknown relation in " + written;
  }

  // Every column reference of the expression, and every nested subquery
  // with the scopes around it.
  Problem expression(const Expr& expr, const Scopes& scopes,
                     const std::vector<std::string>& aliases) {
    if (const auto* ref = std::get_if<ColumnRef>(&expr.node)) return column(*ref, scopes, aliases);
    Problem problem;
    for_each_operand(
        expr,
        [&](const Expr& operand) {
          problem = expression(operand, scopes, aliases);
          return !problem;
        },
        [&](const SelectStatement* nested) {
          if (nested) problem = statement(*nested, /*output_visible=*/false, scopes);
          return !problem;
        });
    return problem;
  }

  const RelationRegistry& registry_;
};

}  // namespace

std::optional<std::string> binding_problem(const RelationRegistry& registry,
                                           const SelectStatement& statement, bool output_visible) {
  return Binder(registry).statement(statement, output_visible, {});
}

}  // namespace zv_sql::internal
