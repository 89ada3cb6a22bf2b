#include "metadata_engine/join_internal.h"
#include "metadata_engine/name_binding_internal.h"

#include <cstdint>
#include <utility>

#include <arrow/acero/options.h>
#include <arrow/builder.h>
#include <arrow/compute/api.h>
#include <arrow/util/byte_size.h>

#include "metadata_engine/acero_plan_internal.h"
#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/evaluator_internal.h"
#include "metadata_engine/expr_walk_internal.h"
#include "metadata_engine/join_size_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/relation_resolution_internal.h"
#include "metadata_engine/select_pipeline_internal.h"

namespace zv_sql::internal {

namespace acero = arrow::acero;
namespace cp = arrow::compute;
using arrow::Result;
using arrow::Status;

namespace {

// A cross product larger than this is not worth building in the driver.
constexpr int64_t kMaxCrossProductRows = int64_t{1} << 22;
// Nor a join result larger than this: compute answers such a question
// without holding it in the host's memory.
constexpr int64_t kMaxJoinBytes = int64_t{256} << 20;

double bytes_per_row(const arrow::RecordBatch& batch) {
  return batch.num_rows() == 0 ? 0.0
                               : static_cast<double>(arrow::util::TotalBufferSize(batch)) /
                                     static_cast<double>(batch.num_rows());
}

// Declines a join whose `rows` rows of both sides' columns would exceed the
// bound.
Status within_join_bound(int64_t rows, const arrow::RecordBatch& left,
                         const arrow::RecordBatch& right) {
  const double bytes = static_cast<double>(rows) * (bytes_per_row(left) + bytes_per_row(right));
  if (bytes > static_cast<double>(kMaxJoinBytes))
    return decline("join result too large for the metadata engine");
  return Status::OK();
}

struct KeyPair {
  std::string left;  // internal names
  std::string right;
};

struct JoinBuilder {
  const RelationRegistry& registry;
  std::string* error;
  const SubqueryRunner& runner;
  int next_id = 0;

  Result<BoundBatch> materialize(FromItem& item) {
    return std::visit(Overloaded{
                          [&](RelationRef& ref) { return relation(ref); },
                          [&](std::unique_ptr<JoinClause>& join) -> Result<BoundBatch> {
                            if (!join) return Status::Invalid("join with null side");
                            return this->join(*join);
                          },
                          [&](SubqueryRef& sub) -> Result<BoundBatch> {
                            ARROW_ASSIGN_OR_RAISE(
                                BatchPtr batch, materialize_subquery(registry, runner, sub, error));
                            return bind(batch, ascii_lower(sub.alias.value_or("")));
                          },
                          [&](ValuesTable& table) -> Result<BoundBatch> {
                            ARROW_ASSIGN_OR_RAISE(BatchPtr batch, materialize_values(table, error));
                            return bind(batch, ascii_lower(table.alias.value_or("")));
                          },
                      },
                      item.node);
  }

  Result<BoundBatch> relation(const RelationRef& ref) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> batch,
                          materialize_relation(registry, ref));
    return bind(batch, ascii_lower(ref.alias ? *ref.alias : ref.name));
  }

  BoundBatch bind(const std::shared_ptr<arrow::RecordBatch>& batch, const std::string& binding) {
    BoundBatch bound;
    arrow::FieldVector fields;
    for (const auto& field : batch->schema()->fields()) {
      bound.columns.push_back({binding, field->name(), false});
      fields.push_back(field->WithName("#" + std::to_string(next_id++)));
    }
    bound.batch = arrow::RecordBatch::Make(arrow::schema(std::move(fields)), batch->num_rows(),
                                           batch->columns());
    return bound;
  }

  Result<BoundBatch> join(JoinClause& join) {
    if (!join.left || !join.right) return Status::Invalid("join with null side");
    ARROW_ASSIGN_OR_RAISE(BoundBatch left, materialize(*join.left));
    ARROW_ASSIGN_OR_RAISE(BoundBatch right, materialize(*join.right));
    const bool outer = join.type != JoinType::Inner && join.type != JoinType::Cross;
    const bool merges = join.natural || !join.using_.empty();
    if (merges && (join.type == JoinType::Right || join.type == JoinType::Full)) {
      return decline("RIGHT or FULL join with USING or NATURAL is left to compute");
    }

    std::vector<KeyPair> keys;
    std::vector<Expr*> residuals;
    if (join.condition)
      ARROW_RETURN_NOT_OK(split_condition(*join.condition, left, right, &keys, &residuals));
    std::vector<int> hidden_right;
    if (join.natural) {
      for (size_t i = 0; i < left.columns.size(); ++i) {
        if (left.columns[i].hidden) continue;
        for (size_t j = 0; j < right.columns.size(); ++j) {
          if (right.columns[j].hidden ||
              !ascii_iequals(left.columns[i].name, right.columns[j].name))
            continue;
          ARROW_RETURN_NOT_OK(
              add_merged_key(left.columns[i].name, left, right, &keys, &hidden_right));
        }
      }
    }
    for (const std::string& name : join.using_) {
      ARROW_RETURN_NOT_OK(add_merged_key(name, left, right, &keys, &hidden_right));
    }
    if (outer && !residuals.empty()) {
      return decline(
          "outer join with ON conditions other than column equalities is left to compute");
    }
    if (outer && keys.empty())
      return decline("outer join without an equality key is left to compute");

    BoundBatch joined;
    joined.merged_keys = merges || left.merged_keys || right.merged_keys;
    const bool left_only = join.type == JoinType::Semi || join.type == JoinType::Anti;
    joined.columns = left.columns;
    if (!left_only)
      joined.columns.insert(joined.columns.end(), right.columns.begin(), right.columns.end());
    for (int j : hidden_right) joined.columns[left.columns.size() + j].hidden = true;

    if (keys.empty()) {
      ARROW_ASSIGN_OR_RAISE(joined.batch, cross_product(left.batch, right.batch));
    } else {
      if (!left_only) ARROW_RETURN_NOT_OK(check_join_size(left.batch, right.batch, keys, outer));
      ARROW_ASSIGN_OR_RAISE(joined.batch, hash_join(join.type, left.batch, right.batch, keys));
    }
    for (Expr* residual : residuals) {
      ARROW_RETURN_NOT_OK(bind_columns(*residual, joined));
      ARROW_ASSIGN_OR_RAISE(joined.batch, filter_rows(joined.batch, *residual, error));
    }
    return joined;
  }

  // Conjuncts of the ON condition: equalities between a left and a right
  // column become keys, everything else is filtered after the join.
  Status split_condition(Expr& condition, const BoundBatch& left, const BoundBatch& right,
                         std::vector<KeyPair>* keys, std::vector<Expr*>* residuals) {
    if (auto* logical = std::get_if<Logical>(&condition.node);
        logical && logical->op == LogicalOp::And) {
      if (!logical->left || !logical->right) return Status::Invalid("missing operand");
      ARROW_RETURN_NOT_OK(split_condition(*logical->left, left, right, keys, residuals));
      return split_condition(*logical->right, left, right, keys, residuals);
    }
    if (auto* cmp = std::get_if<Comparison>(&condition.node);
        cmp && cmp->op == CompareOp::Eq && cmp->left && cmp->right) {
      const auto* a = std::get_if<ColumnRef>(&cmp->left->node);
      const auto* b = std::get_if<ColumnRef>(&cmp->right->node);
      if (a && b) {
        const int al = find_unique(left, *a), br = find_unique(right, *b);
        const int ar = find_unique(right, *a), bl = find_unique(left, *b);
        // A reference that both sides could satisfy is not a key: binding it
        // later reports the ambiguity.
        if (al >= 0 && br >= 0 && ar < 0 && bl < 0) {
          keys->push_back({internal_name(left, al), internal_name(right, br)});
          return Status::OK();
        }
        if (ar >= 0 && bl >= 0 && al < 0 && br < 0) {
          keys->push_back({internal_name(left, bl), internal_name(right, ar)});
          return Status::OK();
        }
      }
    }
    residuals->push_back(&condition);
    return Status::OK();
  }

  Status add_merged_key(const std::string& name, const BoundBatch& left, const BoundBatch& right,
                        std::vector<KeyPair>* keys, std::vector<int>* hidden_right) {
    const ColumnRef ref{"", name};
    const int l = find_unique(left, ref), r = find_unique(right, ref);
    if (l < 0 || r < 0) {
      return record_failure(error, "join column not found on both sides, or ambiguous: " + name,
                            "join column");
    }
    keys->push_back({internal_name(left, l), internal_name(right, r)});
    hidden_right->push_back(r);
    return Status::OK();
  }

  static std::string internal_name(const BoundBatch& bound, int index) {
    return bound.batch->schema()->field(index)->name();
  }

  static int find_unique(const BoundBatch& bound, const ColumnRef& ref);

  Status bind_columns(Expr& expr, const BoundBatch& bound);

  // Outer joins add at most the unmatched rows of both sides.
  static Status check_join_size(const std::shared_ptr<arrow::RecordBatch>& left,
                                const std::shared_ptr<arrow::RecordBatch>& right,
                                const std::vector<KeyPair>& keys, bool outer) {
    std::vector<std::string> left_keys, right_keys;
    for (const KeyPair& pair : keys) {
      left_keys.push_back(pair.left);
      right_keys.push_back(pair.right);
    }
    ARROW_ASSIGN_OR_RAISE(int64_t rows, inner_join_rows(left, right, left_keys, right_keys));
    if (outer) rows += left->num_rows() + right->num_rows();
    return within_join_bound(rows, *left, *right);
  }

  Result<std::shared_ptr<arrow::RecordBatch>> cross_product(
      const std::shared_ptr<arrow::RecordBatch>& left,
      const std::shared_ptr<arrow::RecordBatch>& right) {
    const int64_t n = left->num_rows(), m = right->num_rows();
    if (m != 0 && n > kMaxCrossProductRows / m)
      return decline("cross product too large for the metadata engine");
    ARROW_RETURN_NOT_OK(within_join_bound(n * m, *left, *right));
    arrow::Int64Builder left_rows, right_rows;
    ARROW_RETURN_NOT_OK(left_rows.Reserve(n * m));
    ARROW_RETURN_NOT_OK(right_rows.Reserve(n * m));
    for (int64_t i = 0; i < n; ++i) {
      for (int64_t j = 0; j < m; ++j) {
        left_rows.UnsafeAppend(i);
        right_rows.UnsafeAppend(j);
      }
    }
    ARROW_ASSIGN_OR_RAISE(auto left_indices, left_rows.Finish());
    ARROW_ASSIGN_OR_RAISE(auto right_indices, right_rows.Finish());
    ARROW_ASSIGN_OR_RAISE(arrow::Datum left_taken,
                          cp::Take(arrow::Datum(left), arrow::Datum(left_indices)));
    ARROW_ASSIGN_OR_RAISE(arrow::Datum right_taken,
                          cp::Take(arrow::Datum(right), arrow::Datum(right_indices)));
    arrow::FieldVector fields = left->schema()->fields();
    arrow::ArrayVector columns = left_taken.record_batch()->columns();
    for (int i = 0; i < right->num_columns(); ++i) {
      fields.push_back(right->schema()->field(i));
      columns.push_back(right_taken.record_batch()->column(i));
    }
    return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), n * m, std::move(columns));
  }

  Result<std::shared_ptr<arrow::RecordBatch>> hash_join(
      JoinType type, const std::shared_ptr<arrow::RecordBatch>& left,
      const std::shared_ptr<arrow::RecordBatch>& right, const std::vector<KeyPair>& keys) {
    acero::JoinType arrow_type = acero::JoinType::INNER;
    switch (type) {
      case JoinType::Inner:
      case JoinType::Cross: arrow_type = acero::JoinType::INNER; break;
      case JoinType::Left: arrow_type = acero::JoinType::LEFT_OUTER; break;
      case JoinType::Right: arrow_type = acero::JoinType::RIGHT_OUTER; break;
      case JoinType::Full: arrow_type = acero::JoinType::FULL_OUTER; break;
      case JoinType::Semi: arrow_type = acero::JoinType::LEFT_SEMI; break;
      case JoinType::Anti: arrow_type = acero::JoinType::LEFT_ANTI; break;
    }
    std::vector<arrow::FieldRef> left_keys, right_keys;
    for (const KeyPair& pair : keys) {
      left_keys.emplace_back(pair.left);
      right_keys.emplace_back(pair.right);
    }
    ARROW_ASSIGN_OR_RAISE(acero::Declaration left_source, table_source(left));
    ARROW_ASSIGN_OR_RAISE(acero::Declaration right_source, table_source(right));
    acero::HashJoinNodeOptions options(
        arrow_type, std::move(left_keys), std::move(right_keys), cp::literal(true),
        acero::HashJoinNodeOptions::default_output_suffix_for_left, "_right");
    acero::Declaration plan("hashjoin", {std::move(left_source), std::move(right_source)},
                            std::move(options));
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> result,
                          run_to_batch(std::move(plan)));

    // Internal names are unique, so every input column is found under its own
    // name; the inputs' fields (with their metadata) describe the output.
    const bool left_only = type == JoinType::Semi || type == JoinType::Anti;
    arrow::FieldVector fields;
    arrow::ArrayVector columns;
    for (const auto* side : {&left, &right}) {
      if (side == &right && left_only) break;
      for (const auto& field : (*side)->schema()->fields()) {
        const int index = result->schema()->GetFieldIndex(field->name());
        if (index < 0) return Status::Invalid("hash join output missing column");
        fields.push_back(field->WithNullable(true));
        columns.push_back(result->column(index));
      }
    }
    return arrow::RecordBatch::Make(arrow::schema(std::move(fields)), result->num_rows(),
                                    std::move(columns));
  }
};

bool matches(const BoundColumn& column, const ColumnRef& ref) {
  if (!ascii_iequals(column.name, ref.name)) return false;
  if (ref.qualifier.empty()) return !column.hidden;
  return column.binding == ascii_lower(ref.qualifier);
}

// Index of the one column `ref` names, -1 when none, -2 when several do.
int find_column(const BoundBatch& bound, const ColumnRef& ref) {
  int found = -1;
  for (size_t i = 0; i < bound.columns.size(); ++i) {
    if (!matches(bound.columns[i], ref)) continue;
    if (found >= 0) return -2;
    found = static_cast<int>(i);
  }
  return found;
}

std::string written(const ColumnRef& ref) {
  return ref.qualifier.empty() ? ref.name : ref.qualifier + "." + ref.name;
}

Status bind_ref(ColumnRef& ref, const BoundBatch& bound, std::string* error) {
  const int index = find_column(bound, ref);
  if (index == -2)
    return record_failure(error, "column reference is ambiguous: " + written(ref),
                          "ambiguous column");
  if (index < 0)
    return record_failure(error, "unknown column: " + written(ref),
                          "unknown column: " + written(ref));
  ref.qualifier.clear();
  ref.name = bound.batch->schema()->field(index)->name();
  return Status::OK();
}

Status bind_expr(Expr& expr, const BoundBatch& bound, std::string* error) {
  if (auto* ref = std::get_if<ColumnRef>(&expr.node)) return bind_ref(*ref, bound, error);
  return map_operands(expr, [&](ExprPtr& operand) { return bind_expr(*operand, bound, error); });
}

int JoinBuilder::find_unique(const BoundBatch& bound, const ColumnRef& ref) {
  const int index = find_column(bound, ref);
  return index >= 0 ? index : -1;
}

Status JoinBuilder::bind_columns(Expr& expr, const BoundBatch& bound) {
  return bind_expr(expr, bound, error);
}

}  // namespace

Result<BoundBatch> materialize_join(const RelationRegistry& registry, JoinClause& join,
                                    std::string* error, const SubqueryRunner& runner) {
  JoinBuilder builder{registry, error, runner};
  return builder.join(join);
}

Status bind_statement(SelectStatement& statement, const BoundBatch& bound, std::string* error) {
  std::vector<ProjectionItem> projection;
  for (size_t position = 0; position < statement.projection.size(); ++position) {
    ProjectionItem& item = statement.projection[position];
    if (!item.expr) return Status::Invalid("empty projection item");
    if (const auto* star = std::get_if<Star>(&item.expr->node)) {
      if (star->qualifier.empty() && bound.merged_keys) {
        return decline("SELECT * over a USING or NATURAL join is left to compute");
      }
      bool any = false;
      for (size_t i = 0; i < bound.columns.size(); ++i) {
        const BoundColumn& column = bound.columns[i];
        if (star->qualifier.empty() ? column.hidden
                                    : column.binding != ascii_lower(star->qualifier))
          continue;
        any = true;
        projection.push_back(
            {make_expr(ColumnRef{"", bound.batch->schema()->field(static_cast<int>(i))->name()}),
             column.name});
      }
      if (!any && !star->qualifier.empty()) {
        return record_failure(error, "unknown relation in select list: " + star->qualifier,
                              "unknown relation");
      }
      continue;
    }
    // Names as the user wrote them, fixed before references are rewritten.
    if (!item.alias) {
      if (const auto* ref = std::get_if<ColumnRef>(&item.expr->node)) {
        const int index = find_column(bound, *ref);
        item.alias = index >= 0 ? bound.columns[index].name : ref->name;
      } else if (const auto* call = std::get_if<AggregateCall>(&item.expr->node)) {
        item.alias = call->star ? "count_star()"
                     : call->args.size() == 1 && call->args.front() &&
                             std::holds_alternative<ColumnRef>(call->args.front()->node)
                         ? call->name + "_" + std::get<ColumnRef>(call->args.front()->node).name
                         : call->name;
      } else {
        item.alias = constant_output_name(*item.expr).value_or("expr_" + std::to_string(position));
      }
    }
    ARROW_RETURN_NOT_OK(bind_expr(*item.expr, bound, error));
    projection.push_back(std::move(item));
  }
  statement.projection = std::move(projection);
  // ORDER BY names that an output column carries stay for the sort to find
  // among the output; every other column reference means a joined column.
  std::vector<std::string> output_names;
  for (const ProjectionItem& item : statement.projection)
    output_names.push_back(item.alias.value_or(""));
  for (OrderItem& item : statement.order_by) {
    auto* ref = item.expr ? std::get_if<ColumnRef>(&item.expr->node) : nullptr;
    if (ref == nullptr) continue;
    if (ref->qualifier.empty() && match_output_name(output_names, ref->name) != -1) continue;
    ARROW_RETURN_NOT_OK(bind_ref(*ref, bound, error));
  }
  if (statement.where) ARROW_RETURN_NOT_OK(bind_expr(*statement.where, bound, error));
  for (ExprPtr& key : statement.group_by) {
    if (key) ARROW_RETURN_NOT_OK(bind_expr(*key, bound, error));
  }
  return Status::OK();
}

}  // namespace zv_sql::internal
