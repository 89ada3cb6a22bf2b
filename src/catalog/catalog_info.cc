#include "catalog/catalog_info.h"

#include <adbc.h>

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_nested.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/array/builder_union.h>
#include <arrow/c/bridge.h>
#include <arrow/config.h>
#include <arrow/type.h>

#include <algorithm>
#include <string>
#include <variant>

#include "util/failure.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kArrowMessageBuffer = 256;

// Union member type codes of the info_value column.
enum InfoMember : int8_t {
  kStringValue = 0,
  kBoolValue = 1,
  kInt64Value = 2,
  kInt32Bitmask = 3,
  kStringList = 4,
  kInt32ToInt32ListMap = 5,
};

struct InfoRow {
  uint32_t code;
  std::variant<const char*, bool, int64_t> value;
};

// The Arrow version this build of the driver links (ADBC_INFO_DRIVER_ARROW_VERSION).
const char* DriverArrowVersion() {
  static const std::string version = arrow::GetBuildInfo().version_string;
  return version.c_str();
}

// Every code GetInfo answers, in the order of its rows. A code the host asks
// for that is not here is left out of the result.
std::vector<InfoRow> InfoRows(int adbc_version) {
  return {
      {ADBC_INFO_VENDOR_NAME, "Zorvane"},
      {ADBC_INFO_VENDOR_VERSION, "1.0.0"},
      {ADBC_INFO_VENDOR_ARROW_VERSION, "17.0.0"},
      {ADBC_INFO_VENDOR_SQL, true},
      {ADBC_INFO_VENDOR_SUBSTRAIT, false},
      {ADBC_INFO_DRIVER_NAME, "Zorvane ADBC"},
      {ADBC_INFO_DRIVER_VERSION, ZV_DRIVER_VERSION},
      {ADBC_INFO_DRIVER_ARROW_VERSION, DriverArrowVersion()},
      {ADBC_INFO_DRIVER_ADBC_VERSION, int64_t{adbc_version}},
  };
}

std::shared_ptr<arrow::DataType> InfoValueType() {
  return arrow::dense_union(
      {arrow::field("string_value", arrow::utf8()), arrow::field("bool_value", arrow::boolean()),
       arrow::field("int64_value", arrow::int64()), arrow::field("int32_bitmask", arrow::int32()),
       arrow::field("string_list", arrow::list(arrow::utf8())),
       arrow::field("int32_to_int32_list_map",
                    arrow::map(arrow::int32(), arrow::list(arrow::int32())))},
      {kStringValue, kBoolValue, kInt64Value, kInt32Bitmask, kStringList, kInt32ToInt32ListMap});
}

bool Requested(uint32_t code, const uint32_t* codes, size_t length) {
  return codes == nullptr || std::find(codes, codes + length, code) != codes + length;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildInfo(int adbc_version,
                                                             const uint32_t* codes, size_t length) {
  auto pool = arrow::default_memory_pool();
  const auto value_type = InfoValueType();
  std::unique_ptr<arrow::ArrayBuilder> value_builder;
  ARROW_RETURN_NOT_OK(arrow::MakeBuilder(pool, value_type, &value_builder));
  auto& values = static_cast<arrow::DenseUnionBuilder&>(*value_builder);
  auto& strings = static_cast<arrow::StringBuilder&>(*values.child_builder(kStringValue));
  auto& bools = static_cast<arrow::BooleanBuilder&>(*values.child_builder(kBoolValue));
  auto& ints = static_cast<arrow::Int64Builder&>(*values.child_builder(kInt64Value));
  arrow::UInt32Builder names(pool);

  for (const InfoRow& row : InfoRows(adbc_version)) {
    if (!Requested(row.code, codes, length)) continue;
    ARROW_RETURN_NOT_OK(names.Append(row.code));
    if (const auto* text = std::get_if<const char*>(&row.value)) {
      ARROW_RETURN_NOT_OK(values.Append(kStringValue));
      ARROW_RETURN_NOT_OK(strings.Append(*text));
    } else if (const auto* flag = std::get_if<bool>(&row.value)) {
      ARROW_RETURN_NOT_OK(values.Append(kBoolValue));
      ARROW_RETURN_NOT_OK(bools.Append(*flag));
    } else {
      ARROW_RETURN_NOT_OK(values.Append(kInt64Value));
      ARROW_RETURN_NOT_OK(ints.Append(std::get<int64_t>(row.value)));
    }
  }
  ARROW_ASSIGN_OR_RAISE(auto name_array, names.Finish());
  ARROW_ASSIGN_OR_RAISE(auto value_array, values.Finish());
  auto schema = arrow::schema({arrow::field("info_name", arrow::uint32(), /*nullable=*/false),
                               arrow::field("info_value", value_type)});
  return arrow::RecordBatch::Make(schema, name_array->length(), {name_array, value_array});
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildInfoBatch(const uint32_t* codes,
                                                                  size_t length, int adbc_version) {
  auto batch = BuildInfo(adbc_version, codes, length);
  if (!batch.ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                   Bounded("AdbcConnectionGetInfo: builder failed: " + batch.status().ToString(),
                           kArrowMessageBuffer));
  }
  return batch;
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildTableTypesBatch() {
  arrow::StringBuilder types;
  if (!types.AppendValues({"BASE TABLE", "VIEW"}).ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                   "AdbcConnectionGetTableTypes: builder.AppendValues failed");
  }
  std::shared_ptr<arrow::Array> array;
  if (!types.Finish(&array).ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                   "AdbcConnectionGetTableTypes: builder.Finish failed");
  }
  auto schema = arrow::schema({arrow::field("table_type", arrow::utf8(), /*nullable=*/false)});
  return arrow::RecordBatch::Make(schema, array->length(), {array});
}

arrow::Status ExportSingleBatch(std::shared_ptr<arrow::RecordBatch> batch, ArrowArrayStream* out) {
  if (!batch) return Failure(FailureKind::kInternal, "HY000", "metadata: null record batch");
  auto schema = batch->schema();
  auto reader = arrow::RecordBatchReader::Make({std::move(batch)}, schema);
  if (!reader.ok()) {
    return Failure(
        FailureKind::kInternal, "HY000",
        Bounded("metadata: RecordBatchReader::Make failed: " + reader.status().ToString(),
                kArrowMessageBuffer));
  }
  arrow::Status exported = arrow::ExportRecordBatchReader(*reader, out);
  if (!exported.ok()) {
    return Failure(FailureKind::kInternal, "HY000",
                   Bounded("metadata: ExportRecordBatchReader failed: " + exported.ToString(),
                           kArrowMessageBuffer));
  }
  return arrow::Status::OK();
}

}  // namespace zv
