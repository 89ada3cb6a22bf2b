#include "metadata_engine/metadata_engine.h"

#include <exception>

#include <arrow/compute/api.h>

#include "metadata_engine/aggregate_internal.h"
#include "metadata_engine/arrow_init_internal.h"
#include "metadata_engine/decimal_constants_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/relation_indexes_internal.h"
#include "metadata_engine/join_internal.h"
#include "metadata_engine/name_binding_internal.h"
#include "metadata_engine/overloaded_internal.h"
#include "metadata_engine/pending_steps_internal.h"
#include "metadata_engine/relation_resolution_internal.h"
#include "metadata_engine/select_pipeline_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql {

namespace {

ExecuteResult not_handled(std::string reason) {
  ExecuteResult result;
  result.status = ExecuteStatus::NotHandled;
  result.reason = std::move(reason);
  return result;
}

// The first detailed message written during the call wins; without one the
// failing status speaks for itself.
ExecuteResult failed(std::string detailed, const arrow::Status& status) {
  ExecuteResult result;
  result.status = ExecuteStatus::Error;
  result.error = detailed.empty() ? status.ToString() : std::move(detailed);
  return result;
}

std::optional<std::string> find_missing_relation_anywhere(const RelationRegistry& registry,
                                                          const SelectStatement& statement) {
  if (auto missing = internal::find_missing_relation(registry, statement.from.get()))
    return missing;
  if (statement.where) {
    if (auto missing = internal::find_missing_relation(registry, *statement.where)) return missing;
  }
  for (const ProjectionItem& item : statement.projection) {
    if (!item.expr) continue;
    if (auto missing = internal::find_missing_relation(registry, *item.expr)) return missing;
  }
  for (const ExprPtr& key : statement.group_by) {
    if (!key) continue;
    if (auto missing = internal::find_missing_relation(registry, *key)) return missing;
  }
  return std::nullopt;
}

ExecuteResult execute_at(const RelationRegistry& registry, SelectStatement& statement, int depth);

arrow::Result<internal::BatchPtr> materialize_from(const RelationRegistry& registry,
                                                   SelectStatement& statement,
                                                   const internal::SubqueryRunner& runner,
                                                   std::string* error) {
  using namespace internal;
  return std::visit(
      Overloaded{
          [&](RelationRef& ref) { return materialize_relation(registry, ref); },
          [&](std::unique_ptr<JoinClause>& join) -> arrow::Result<BatchPtr> {
            if (!join) return arrow::Status::Invalid("invalid join (null pointer)");
            ARROW_ASSIGN_OR_RAISE(BoundBatch bound,
                                  materialize_join(registry, *join, error, runner));
            ARROW_RETURN_NOT_OK(bind_statement(statement, bound, error));
            return std::move(bound.batch);
          },
          [&](SubqueryRef& sub) { return materialize_subquery(registry, runner, sub, error); },
          [&](ValuesTable& table) { return materialize_values(table, error); },
      },
      statement.from->node);
}

// The rows WHERE keeps, read through the relation's indexes where they
// apply; only the columns the statement reads, since taking rows copies them.
arrow::Result<internal::BatchPtr> select_rows(const RelationRegistry& registry,
                                              const SelectStatement& statement,
                                              const internal::BatchPtr& batch, std::string* error) {
  using namespace internal;
  auto take = [](const BatchPtr& rows, const std::shared_ptr<arrow::Array>& indices) {
    return arrow::compute::Take(rows, indices).Map([](const arrow::Datum& taken) {
      return taken.record_batch();
    });
  };
  std::shared_ptr<arrow::Array> named;
  if (statement.where) {
    ARROW_ASSIGN_OR_RAISE(named, rows_named_by_equalities(registry, statement, batch));
  }
  const BatchPtr read = keep_read_columns(batch, statement);
  if (named == nullptr) {
    ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Array> reached,
                          rows_reaching_limit(registry, statement, batch, read, error));
    // Those rows satisfy WHERE already.
    if (reached) return take(read, reached);
  }
  if (!statement.where) return batch;
  BatchPtr rows = read;
  if (named) {
    ARROW_ASSIGN_OR_RAISE(rows, take(read, named));
  }
  return filter_rows(rows, *statement.where, error);
}

arrow::Result<internal::BatchPtr> run_pipeline(const RelationRegistry& registry,
                                               SelectStatement& statement,
                                               const internal::SubqueryRunner& runner,
                                               std::string* error) {
  using namespace internal;
  ARROW_ASSIGN_OR_RAISE(BatchPtr batch, materialize_from(registry, statement, runner, error));
  // Subqueries become constants before anything is evaluated row by row.
  ARROW_RETURN_NOT_OK(flatten(registry, runner, statement.where, error));
  for (ProjectionItem& item : statement.projection)
    ARROW_RETURN_NOT_OK(flatten(registry, runner, item.expr, error));
  for (ExprPtr& key : statement.group_by)
    ARROW_RETURN_NOT_OK(flatten(registry, runner, key, error));
  ARROW_ASSIGN_OR_RAISE(batch, select_rows(registry, statement, batch, error));
  // ORDER BY may read the rows the output came from, as long as they match
  // the output row for row: not after grouping or DISTINCT.
  BatchPtr output;
  BatchPtr order_input;
  if (is_aggregate_query(statement)) {
    ARROW_ASSIGN_OR_RAISE(output, aggregate(batch, statement, error));
  } else {
    ARROW_ASSIGN_OR_RAISE(output, project(batch, statement, error));
    order_input = std::move(batch);
  }
  if (statement.distinct) {
    ARROW_ASSIGN_OR_RAISE(output, distinct_rows(output));
    order_input.reset();
  }
  ARROW_ASSIGN_OR_RAISE(output, order_rows(output, order_input, statement, error));
  return apply_offset_limit(output, statement);
}

ExecuteResult execute_at(const RelationRegistry& registry, SelectStatement& statement, int depth) {
  if (!statement.from) return not_handled("no FROM clause");
  // Every nested statement runs one level deeper; the cap keeps the stack
  // bounded whatever the statement's shape.
  if (depth > internal::kMaxSubqueryDepth)
    return not_handled("subqueries nested too deeply for the metadata path");
  if (auto missing = find_missing_relation_anywhere(registry, statement)) {
    return not_handled("relation not cached: " + *missing);
  }
  // Names bind once, over the whole statement as written, before any
  // rewrite moves a subquery's names into the outer query.
  if (depth == 0) {
    if (auto problem = internal::binding_problem(registry, statement, /*output_visible=*/true)) {
      return not_handled(std::move(*problem));
    }
  }
  internal::rewrite_exists(registry, statement);
  if (auto reason = internal::pending_step_reason(statement))
    return not_handled(std::move(*reason));
  if (auto reason = internal::decimal_constant_reason(statement))
    return not_handled(std::move(*reason));
  if (arrow::Status init = internal::ensure_arrow_initialized(); !init.ok())
    return failed("", init);

  const internal::SubqueryRunner runner = [&registry, depth](SelectStatement& inner) {
    return execute_at(registry, inner, depth + 1);
  };
  std::string error;
  arrow::Result<internal::BatchPtr> batch = run_pipeline(registry, statement, runner, &error);
  if (!batch.ok()) {
    const arrow::Status& status = batch.status();
    if (auto reason = internal::declined_reason(status)) return not_handled(std::move(*reason));
    // A relation that vanished after the check reports itself through the status.
    if (error.empty() && status.IsInvalid() &&
        status.message().rfind("relation not cached: ", 0) == 0) {
      error = status.message();
    }
    return failed(std::move(error), status);
  }
  ExecuteResult result;
  result.status = ExecuteStatus::Ok;
  result.schema = (*batch)->schema();
  result.batches.push_back(std::move(*batch));
  return result;
}

}  // namespace

void MetadataEngine::register_relation(std::string_view name, std::shared_ptr<arrow::Schema> schema,
                                       std::vector<std::shared_ptr<arrow::RecordBatch>> batches) {
  registry_.register_relation(name, std::move(schema), std::move(batches));
}

ExecuteResult MetadataEngine::execute(SelectStatement& statement) const {
  try {
    return execute_at(registry_, statement, 0);
  } catch (const std::exception& e) {
    return failed(std::string("metadata engine internal error: ") + e.what(), arrow::Status::OK());
  } catch (...) {
    return failed("metadata engine internal error", arrow::Status::OK());
  }
}

ExecuteResult MetadataEngine::execute_sql(std::string_view sql) const {
  try {
    ParseStatus status;
    SelectPtr statement = parse_select(sql, status);
    if (!statement) {
      if (status.code == ParseCode::Malformed) return failed(status.message, arrow::Status::OK());
      return not_handled(status.message);
    }
    return execute(*statement);
  } catch (const std::exception& e) {
    return failed(std::string("metadata engine internal error: ") + e.what(), arrow::Status::OK());
  } catch (...) {
    return failed("metadata engine internal error", arrow::Status::OK());
  }
}

}  // namespace zv_sql
