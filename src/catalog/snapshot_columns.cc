#include "catalog/snapshot_columns_internal.h"

#include <arrow/type_traits.h>

#include <limits>

namespace zv {

namespace {

std::shared_ptr<arrow::Array> ColumnOrNull(const arrow::RecordBatch* batch, const char* name) {
  return batch ? batch->GetColumnByName(name) : nullptr;
}

template <typename ArrayType>
int64_t SignedAt(const arrow::Array& array, int64_t row) {
  return static_cast<int64_t>(static_cast<const ArrayType&>(array).Value(row));
}

}  // namespace

TextColumn::TextColumn(const arrow::RecordBatch* batch, const char* name) {
  auto column = ColumnOrNull(batch, name);
  if (!column) return;
  switch (column->type_id()) {
    case arrow::Type::STRING:
    case arrow::Type::LARGE_STRING:
    case arrow::Type::STRING_VIEW: array_ = std::move(column); break;
    default: break;
  }
}

std::optional<std::string_view> TextColumn::at(int64_t row) const {
  if (!array_ || array_->IsNull(row)) return std::nullopt;
  switch (array_->type_id()) {
    case arrow::Type::STRING: return static_cast<const arrow::StringArray&>(*array_).GetView(row);
    case arrow::Type::LARGE_STRING:
      return static_cast<const arrow::LargeStringArray&>(*array_).GetView(row);
    case arrow::Type::STRING_VIEW:
      return static_cast<const arrow::StringViewArray&>(*array_).GetView(row);
    default: return std::nullopt;
  }
}

IntegerColumn::IntegerColumn(const arrow::RecordBatch* batch, const char* name) {
  auto column = ColumnOrNull(batch, name);
  if (column && arrow::is_integer(column->type_id())) array_ = std::move(column);
}

std::optional<int64_t> IntegerColumn::at(int64_t row) const {
  if (!array_ || array_->IsNull(row)) return std::nullopt;
  const arrow::Array& a = *array_;
  switch (a.type_id()) {
    case arrow::Type::INT8: return SignedAt<arrow::Int8Array>(a, row);
    case arrow::Type::INT16: return SignedAt<arrow::Int16Array>(a, row);
    case arrow::Type::INT32: return SignedAt<arrow::Int32Array>(a, row);
    case arrow::Type::INT64: return SignedAt<arrow::Int64Array>(a, row);
    case arrow::Type::UINT8: return SignedAt<arrow::UInt8Array>(a, row);
    case arrow::Type::UINT16: return SignedAt<arrow::UInt16Array>(a, row);
    case arrow::Type::UINT32: return SignedAt<arrow::UInt32Array>(a, row);
    case arrow::Type::UINT64: {
      const uint64_t value = static_cast<const arrow::UInt64Array&>(a).Value(row);
      if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
      return static_cast<int64_t>(value);
    }
    default: return std::nullopt;
  }
}

}  // namespace zv
