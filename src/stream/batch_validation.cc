#include "stream/batch_validation.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <arrow/array/data.h>
#include <arrow/array/validate.h>
#include <arrow/extension_type.h>
#include <arrow/type.h>
#include <arrow/type_traits.h>
#include <arrow/util/bitmap_ops.h>

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

// Offsets of a received batch need not be aligned (a hostile stream can place
// a buffer anywhere), so they are loaded byte-wise; the compiler still emits
// plain loads.
template <typename Offset>
Offset OffsetAt(const uint8_t* bytes, int64_t i) {
  Offset value;
  std::memcpy(&value, bytes + i * static_cast<int64_t>(sizeof(Offset)), sizeof(Offset));
  return value;
}

// True when no offset of the `count` at `bytes` is smaller than the one
// before it. Blocks of a fixed width compare without branches, which the
// compiler turns into vector compares; a block with a descent ends the scan.
template <typename Offset>
bool Ascending(const uint8_t* bytes, int64_t count) {
  constexpr int64_t kBlock = 64;
  int64_t i = 0;
  for (; i + kBlock < count; i += kBlock) {
    uint32_t descents = 0;
    for (int64_t j = 0; j < kBlock; ++j) {
      descents |= static_cast<uint32_t>(OffsetAt<Offset>(bytes, i + j + 1) <
                                        OffsetAt<Offset>(bytes, i + j));
    }
    if (descents != 0) return false;
  }
  for (; i + 1 < count; ++i) {
    if (OffsetAt<Offset>(bytes, i + 1) < OffsetAt<Offset>(bytes, i)) return false;
  }
  return true;
}

// The structural pass has checked that the offsets buffer holds them and that
// the first and last lie within the data; ascending offsets between them then
// keep every value inside it.
template <typename Offset>
arrow::Status OffsetsAscend(const arrow::ArrayData& data) {
  if (data.length == 0 ||
      Ascending<Offset>(
          data.GetValues<uint8_t>(1, data.offset * static_cast<int64_t>(sizeof(Offset))),
          data.length + 1)) {
    return arrow::Status::OK();
  }
  return arrow::Status::Invalid("offsets of a ", data.type->ToString(), " array go backwards");
}

arrow::Status NullCountMatches(const arrow::ArrayData& data) {
  if (data.null_count == arrow::kUnknownNullCount) return arrow::Status::OK();
  int64_t nulls = 0;
  if (data.type->storage_id() == arrow::Type::NA) {
    nulls = data.length;
  } else if (arrow::internal::may_have_validity_bitmap(data.type->id()) &&
             data.buffers[0] != nullptr) {
    nulls = data.length -
            arrow::internal::CountSetBits(data.buffers[0]->data(), data.offset, data.length);
  }
  if (nulls == data.null_count) return arrow::Status::OK();
  return arrow::Status::Invalid("null_count ", data.null_count, " of a ", data.type->ToString(),
                                " array, but its bitmap has ", nulls, " nulls");
}

arrow::Status ChildrenValuesInBounds(const arrow::ArrayData& data);

// The value checks of a full validation that keep a reader inside the
// buffers, once the structural pass over the whole tree has passed: null
// counts and offsets for the common layouts, here; every other type (views,
// dictionaries, unions, runs, extensions, times) gets Arrow's full check of
// its subtree, on its layout twin.
arrow::Status ValuesInBounds(const arrow::ArrayData& data) {
  switch (data.type->id()) {
    case arrow::Type::DATE64:
    case arrow::Type::TIME32:
    case arrow::Type::TIME64: break;
    case arrow::Type::BINARY:
    case arrow::Type::STRING:
      ARROW_RETURN_NOT_OK(NullCountMatches(data));
      return OffsetsAscend<int32_t>(data);
    case arrow::Type::LARGE_BINARY:
    case arrow::Type::LARGE_STRING:
      ARROW_RETURN_NOT_OK(NullCountMatches(data));
      return OffsetsAscend<int64_t>(data);
    case arrow::Type::LIST:
    case arrow::Type::MAP:
      ARROW_RETURN_NOT_OK(NullCountMatches(data));
      ARROW_RETURN_NOT_OK(OffsetsAscend<int32_t>(data));
      return ChildrenValuesInBounds(data);
    case arrow::Type::LARGE_LIST:
      ARROW_RETURN_NOT_OK(NullCountMatches(data));
      ARROW_RETURN_NOT_OK(OffsetsAscend<int64_t>(data));
      return ChildrenValuesInBounds(data);
    case arrow::Type::STRUCT:
    case arrow::Type::FIXED_SIZE_LIST:
      ARROW_RETURN_NOT_OK(NullCountMatches(data));
      return ChildrenValuesInBounds(data);
    default:
      if (arrow::is_fixed_width(data.type->id()) && data.type->id() != arrow::Type::DICTIONARY) {
        return NullCountMatches(data);
      }
  }
  std::shared_ptr<arrow::ArrayData> twin = TwinData(data);
  return arrow::internal::ValidateArrayFull(twin ? *twin : data);
}

arrow::Status ChildrenValuesInBounds(const arrow::ArrayData& data) {
  for (const auto& child : data.child_data) ARROW_RETURN_NOT_OK(ValuesInBounds(*child));
  return arrow::Status::OK();
}

// One column: the structural checks on the whole tree as received (types of
// children against their fields, buffer counts and sizes, first and last
// offsets, child lengths), then the per-value checks (offsets, views,
// indices, null counts) in a second walk.
arrow::Status ValidateColumnBounds(const arrow::ArrayData& column) {
  ARROW_RETURN_NOT_OK(arrow::internal::ValidateArray(column));
  return ValuesInBounds(column);
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
