// ORDER BY ... LIMIT over many rows: before the full stable sort, the rows
// that cannot reach the first OFFSET + LIMIT places are dropped by their first
// sort key alone. A row among the first `need` of the sorted output has a
// first key no later than the need-th smallest (or largest) one, so keeping
// every row whose first key is not later than that value, in input order,
// leaves the stable sort's first `need` rows exactly as they were.
#include <arrow/compute/api.h>

#include "metadata_engine/select_pipeline_internal.h"

namespace zv_sql::internal {

namespace cp = arrow::compute;
using arrow::Datum;
using arrow::Result;

// Only worth a pass of its own when most rows would be dropped.
bool worth_top_k(int64_t need, int64_t rows) {
  return need > 0 && need <= rows / 4 && rows >= 4096;
}

bool orders_like_sort(const arrow::DataType& type) {
  return arrow::is_integer(type.id()) || arrow::is_string(type.id()) ||
         type.id() == arrow::Type::DATE32 || type.id() == arrow::Type::DATE64 ||
         type.id() == arrow::Type::TIMESTAMP;
}

namespace {

// The need-th value of the non-null keys in the key's direction.
Result<std::shared_ptr<arrow::Scalar>> boundary(const std::shared_ptr<arrow::Array>& keys,
                                                const cp::SortKey& key, int64_t need) {
  ARROW_ASSIGN_OR_RAISE(Datum present, cp::DropNull(keys));
  cp::SelectKOptions options(need, {cp::SortKey(arrow::FieldRef(0), key.order)});
  ARROW_ASSIGN_OR_RAISE(Datum chosen_indices,
                        cp::CallFunction("select_k_unstable", {present}, &options));
  ARROW_ASSIGN_OR_RAISE(Datum chosen, cp::Take(present, chosen_indices));
  ARROW_ASSIGN_OR_RAISE(Datum extremes, cp::MinMax(chosen));
  const auto& pair = static_cast<const arrow::StructScalar&>(*extremes.scalar());
  return pair.value[key.order == cp::SortOrder::Ascending ? 1 : 0];
}

}  // namespace

Result<std::shared_ptr<arrow::Array>> top_k_candidates(const std::shared_ptr<arrow::Array>& keys,
                                                       const cp::SortKey& key, int64_t need) {
  const int64_t rows = keys->length();
  if (!worth_top_k(need, rows) || !orders_like_sort(*keys->type())) {
    return nullptr;
  }
  const int64_t nulls = keys->null_count();
  const bool nulls_first = key.null_placement == cp::NullPlacement::AtStart;
  if (nulls_first && nulls >= need) {
    ARROW_ASSIGN_OR_RAISE(Datum only_nulls, cp::IsNull(keys));
    return only_nulls.make_array();
  }
  const int64_t values_needed = nulls_first ? need - nulls : need;
  if (values_needed > rows - nulls) return nullptr;
  ARROW_ASSIGN_OR_RAISE(std::shared_ptr<arrow::Scalar> last, boundary(keys, key, values_needed));
  const char* compare = key.order == cp::SortOrder::Ascending ? "less_equal" : "greater_equal";
  // A null key compares as null, which the filter drops: right when nulls
  // sort last, and added back when they sort first.
  ARROW_ASSIGN_OR_RAISE(Datum kept, cp::CallFunction(compare, {Datum(keys), Datum(last)}));
  if (nulls_first && nulls > 0) {
    ARROW_ASSIGN_OR_RAISE(Datum is_null, cp::IsNull(keys));
    ARROW_ASSIGN_OR_RAISE(kept, cp::KleeneOr(kept, is_null));
  }
  return kept.make_array();
}

}  // namespace zv_sql::internal
