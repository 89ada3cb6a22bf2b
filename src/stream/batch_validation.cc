#include "stream/batch_validation.h"

#include <memory>
#include <utility>
#include <vector>

#include <arrow/array/data.h>
#include <arrow/array/validate.h>
#include <arrow/extension_type.h>
#include <arrow/type.h>

namespace zv {

namespace {

using TypePtr = std::shared_ptr<arrow::DataType>;

TypePtr LayoutTwinOf(const TypePtr& type);

// `field` with its type's twin; null when the type has none.
std::shared_ptr<arrow::Field> TwinField(const std::shared_ptr<arrow::Field>& field) {
  TypePtr twin = LayoutTwinOf(field->type());
  return twin ? field->WithType(twin) : nullptr;
}

// The fields of a nested type with their twins; empty when none has one.
arrow::FieldVector TwinFields(const arrow::DataType& type) {
  arrow::FieldVector fields = type.fields();
  bool changed = false;
  for (auto& field : fields) {
    if (auto twin = TwinField(field)) {
      field = std::move(twin);
      changed = true;
    }
  }
  return changed ? fields : arrow::FieldVector{};
}

TypePtr NestedTwin(const TypePtr& type) {
  if (type->id() == arrow::Type::DICTIONARY) {
    const auto& dict = static_cast<const arrow::DictionaryType&>(*type);
    TypePtr values = LayoutTwinOf(dict.value_type());
    return values ? arrow::dictionary(dict.index_type(), values, dict.ordered()) : nullptr;
  }
  if (type->id() == arrow::Type::EXTENSION) {
    // Checked as its storage: the extension adds no layout of its own.
    return LayoutTwinOf(static_cast<const arrow::ExtensionType&>(*type).storage_type());
  }
  arrow::FieldVector fields = TwinFields(*type);
  if (fields.empty()) return nullptr;
  switch (type->id()) {
    case arrow::Type::LIST: return arrow::list(fields[0]);
    case arrow::Type::LARGE_LIST: return arrow::large_list(fields[0]);
    case arrow::Type::LIST_VIEW: return arrow::list_view(fields[0]);
    case arrow::Type::LARGE_LIST_VIEW: return arrow::large_list_view(fields[0]);
    case arrow::Type::FIXED_SIZE_LIST:
      return arrow::fixed_size_list(
          fields[0], static_cast<const arrow::FixedSizeListType&>(*type).list_size());
    case arrow::Type::MAP: {
      // A map's entries are a struct of key and item.
      const auto& map = static_cast<const arrow::MapType&>(*type);
      const auto& entry = *fields[0]->type();
      return std::make_shared<arrow::MapType>(entry.field(0), entry.field(1), map.keys_sorted());
    }
    case arrow::Type::STRUCT: return arrow::struct_(fields);
    case arrow::Type::SPARSE_UNION:
      return arrow::sparse_union(fields, static_cast<const arrow::UnionType&>(*type).type_codes());
    case arrow::Type::DENSE_UNION:
      return arrow::dense_union(fields, static_cast<const arrow::UnionType&>(*type).type_codes());
    case arrow::Type::RUN_END_ENCODED:
      return arrow::run_end_encoded(fields[0]->type(), fields[1]->type());
    default: return nullptr;  // any other nested type keeps its full check
  }
}

// The layout twin of a type whose full check includes a scan of values that
// cannot protect a reader's memory: text as the binary it is laid out as
// (same offsets and views, no UTF-8 scan), decimals as fixed-size binary of
// their width (same single buffer, no precision check), and nested types
// with their children's twins. Null when the type and all its children are
// checked as they are.
TypePtr LayoutTwinOf(const TypePtr& type) {
  switch (type->id()) {
    case arrow::Type::STRING: return arrow::binary();
    case arrow::Type::LARGE_STRING: return arrow::large_binary();
    case arrow::Type::STRING_VIEW: return arrow::binary_view();
    case arrow::Type::DECIMAL32:
    case arrow::Type::DECIMAL64:
    case arrow::Type::DECIMAL128:
    case arrow::Type::DECIMAL256:
      return arrow::fixed_size_binary(
          static_cast<const arrow::FixedWidthType&>(*type).byte_width());
    default:
      return type->num_fields() > 0 || type->id() == arrow::Type::DICTIONARY ||
                     type->id() == arrow::Type::EXTENSION
                 ? NestedTwin(type)
                 : nullptr;
  }
}

// A shallow copy of the array tree with every type replaced by its twin
// (buffers shared, nothing copied), or null when no type in it has a twin.
// The children's own types are twinned the same way as their fields in the
// parent's type, so a tree whose types agreed still agrees.
std::shared_ptr<arrow::ArrayData> TwinData(const arrow::ArrayData& data) {
  TypePtr twin = LayoutTwinOf(data.type);
  if (twin == nullptr) return nullptr;
  auto copy = std::make_shared<arrow::ArrayData>(data);
  copy->type = std::move(twin);
  for (auto& child : copy->child_data) {
    if (child == nullptr) continue;
    if (auto child_twin = TwinData(*child)) child = std::move(child_twin);
  }
  if (copy->dictionary != nullptr) {
    if (auto dict_twin = TwinData(*copy->dictionary)) copy->dictionary = std::move(dict_twin);
  }
  return copy;
}

// One column: first the structural checks on the column as received (types
// of children against their fields, buffer counts and sizes), then the full
// check (offsets, views, indices, null counts, child lengths) on its twin.
arrow::Status ValidateColumnBounds(const arrow::ArrayData& column) {
  std::shared_ptr<arrow::ArrayData> twin = TwinData(column);
  if (twin == nullptr) return arrow::internal::ValidateArrayFull(column);
  ARROW_RETURN_NOT_OK(arrow::internal::ValidateArray(column));
  return arrow::internal::ValidateArrayFull(*twin);
}

// The batch's own checks (column count, lengths and types against the
// schema), then each column's bounds.
arrow::Status ValidateBounds(const arrow::RecordBatch& batch) {
  ARROW_RETURN_NOT_OK(batch.Validate());
  for (int i = 0; i < batch.num_columns(); ++i) {
    ARROW_RETURN_NOT_OK(ValidateColumnBounds(*batch.column_data(i)));
  }
  return arrow::Status::OK();
}

}  // namespace

arrow::Status zv_validate_received_batch(const arrow::RecordBatch& batch) {
  arrow::Status valid = ValidateBounds(batch);
  if (valid.ok()) return valid;
  return arrow::Status::Invalid("received batch is malformed: ", valid.message());
}

}  // namespace zv
