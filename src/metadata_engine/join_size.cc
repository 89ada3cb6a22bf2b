#include "metadata_engine/join_size_internal.h"

#include <arrow/acero/options.h>
#include <arrow/compute/api.h>

#include "metadata_engine/acero_plan_internal.h"

namespace zv_sql::internal {

namespace acero = arrow::acero;
namespace cp = arrow::compute;

namespace {

constexpr const char* kCount = "__zv_rows_of_key";

arrow::Result<std::shared_ptr<arrow::RecordBatch>> only(
    const std::shared_ptr<arrow::RecordBatch>& batch, const std::vector<std::string>& names) {
  std::vector<int> indices;
  for (const std::string& name : names) {
    const int index = batch->schema()->GetFieldIndex(name);
    if (index < 0) return arrow::Status::Invalid("join key not found: ", name);
    indices.push_back(index);
  }
  return batch->SelectColumns(indices);
}

std::vector<arrow::FieldRef> refs(const std::vector<std::string>& names) {
  return {names.begin(), names.end()};
}

}  // namespace

arrow::Result<int64_t> inner_join_rows(const std::shared_ptr<arrow::RecordBatch>& left,
                                       const std::shared_ptr<arrow::RecordBatch>& right,
                                       const std::vector<std::string>& left_keys,
                                       const std::vector<std::string>& right_keys) {
  ARROW_ASSIGN_OR_RAISE(auto left_only, only(left, left_keys));
  ARROW_ASSIGN_OR_RAISE(auto right_only, only(right, right_keys));
  ARROW_ASSIGN_OR_RAISE(acero::Declaration right_source, table_source(right_only));
  acero::Declaration counts(
      "aggregate", {std::move(right_source)},
      acero::AggregateNodeOptions({cp::Aggregate("hash_count_all", kCount)}, refs(right_keys)));
  ARROW_ASSIGN_OR_RAISE(acero::Declaration left_source, table_source(left_only));
  // Each left row meets at most one group, so this holds no more rows than
  // the left side.
  acero::HashJoinNodeOptions options(acero::JoinType::INNER, refs(left_keys), refs(right_keys),
                                     cp::literal(true), "", "_counted");
  acero::Declaration plan("hashjoin", {std::move(left_source), std::move(counts)},
                          std::move(options));
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::RecordBatch> matched, run_to_batch(std::move(plan)));
  std::shared_ptr<arrow::Array> rows = matched->GetColumnByName(kCount);
  if (!rows) return arrow::Status::Invalid("join size: no count column");
  ARROW_ASSIGN_OR_RAISE(arrow::Datum total, cp::Sum(rows));
  const auto& sum = total.scalar_as<arrow::Int64Scalar>();
  return sum.is_valid ? sum.value : 0;
}

}  // namespace zv_sql::internal
