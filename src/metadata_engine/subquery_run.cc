#include <arrow/type.h>

#include "metadata_engine/ascii_internal.h"
#include "metadata_engine/decline_internal.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

arrow::Result<ExecuteResult> run_subquery(const RelationRegistry& registry,
                                          const SubqueryRunner& runner, SelectStatement& statement,
                                          std::string_view prefix, std::string* error) {
  // Run without its outer row, a correlated subquery would either fail or,
  // worse, bind the outer name to an inner column of the same name.
  if (auto outer = outer_reference(registry, statement)) {
    return decline("correlated subquery is left to compute (outer reference " + *outer + ")");
  }
  ExecuteResult result = runner(statement);
  switch (result.status) {
    case ExecuteStatus::Ok: return result;
    case ExecuteStatus::NotHandled: return decline(std::move(result.reason));
    case ExecuteStatus::Error: break;
  }
  if (error != nullptr && error->empty()) *error = result.error;
  return arrow::Status::Invalid(std::string(prefix), result.error);
}

arrow::Result<BatchPtr> materialize_subquery(const RelationRegistry& registry,
                                             const SubqueryRunner& runner, SubqueryRef& ref,
                                             std::string* error) {
  if (!ref.statement) return arrow::Status::Invalid("invalid subquery (null SelectStatement)");
  ARROW_ASSIGN_OR_RAISE(ExecuteResult result,
                        run_subquery(registry, runner, *ref.statement, "subquery: ", error));
  if (!result.schema) return arrow::Status::Invalid("subquery produced no schema");
  // The engine binds names case-insensitively to the first match, where SQL
  // calls a repeated name ambiguous: leave such derived tables to compute.
  const auto& fields = result.schema->fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    for (size_t j = i + 1; j < fields.size(); ++j) {
      if (ascii_iequals(fields[i]->name(), fields[j]->name())) {
        return decline("derived table with a repeated column name (" + fields[i]->name() +
                       ") is left to compute");
      }
    }
  }
  if (result.batches.empty()) return arrow::RecordBatch::MakeEmpty(result.schema);
  if (result.batches.size() == 1) return result.batches.front();
  return arrow::ConcatenateRecordBatches(result.batches);
}

}  // namespace zv_sql::internal
