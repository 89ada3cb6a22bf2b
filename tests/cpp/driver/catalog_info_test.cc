#include "catalog/catalog_info.h"

#include <arrow/array.h>
#include <arrow/c/bridge.h>
#include <arrow/config.h>
#include <arrow/scalar.h>
#include <arrow/table.h>
#include <gtest/gtest.h>

#include "driver/adbc_test_util.h"
#include "driver/connection.h"

namespace {

std::vector<uint32_t> Names(const arrow::RecordBatch& batch) {
  const auto& names = static_cast<const arrow::UInt32Array&>(*batch.column(0));
  return {names.raw_values(), names.raw_values() + names.length()};
}

TEST(GetInfo, SelectsRowsInTheDriversOrderWhateverTheRequest) {
  struct Case {
    std::vector<uint32_t> codes;
    bool null_codes;
    size_t length;
    std::vector<uint32_t> expected;
  } cases[] = {
      {{}, true, 0, {0, 1, 2, 3, 4, 100, 101, 102, 103}},
      {{103, 0, 0, 7}, false, 4, {0, 103}},
      {{103, 0}, false, 0, {}},
      {{7, 8}, false, 2, {}},
  };
  for (const auto& c : cases) {
    auto batch = zv::BuildInfoBatch(c.null_codes ? nullptr : c.codes.data(), c.length);
    ASSERT_TRUE(batch.ok()) << batch.status();
    EXPECT_EQ(Names(**batch), c.expected);
    EXPECT_EQ((*batch)->schema()->field(0)->name(), "info_name");
    EXPECT_EQ((*batch)->schema()->field(1)->type()->id(), arrow::Type::DENSE_UNION);
  }
}

TEST(GetInfo, ValuesSitUnderTheirUnionMembers) {
  auto batch = *zv::BuildInfoBatch(nullptr, 0);
  const auto& values = static_cast<const arrow::DenseUnionArray&>(*batch->column(1));
  // Row 8 (code 103) is the ADBC version as int64, type code 2.
  EXPECT_EQ(values.type_code(8), 2);
  auto adbc_version = values.field(2)->GetScalar(values.value_offset(8));
  EXPECT_EQ((*adbc_version)->ToString(), "1000000");
  EXPECT_EQ(values.type_code(3), 1);  // vendor supports SQL: bool
  auto driver_arrow = values.field(0)->GetScalar(values.value_offset(7));
  EXPECT_EQ((*driver_arrow)->ToString(), arrow::GetBuildInfo().version_string);
}

TEST(GetInfo, AnswersOnAConnectionThatWasNeverInitialised) {
  zv::testing::ScopedError err;
  AdbcConnection never_allocated{};
  ArrowArrayStream stream{};
  ASSERT_ADBC_OK(zv::ConnectionGetInfo(&never_allocated, nullptr, 0, &stream, err.get()), err);
  auto table = (*arrow::ImportRecordBatchReader(&stream))->ToTable();
  EXPECT_EQ((*table)->num_rows(), 9);
  ArrowArrayStream types{};
  ASSERT_ADBC_OK(zv::ConnectionGetTableTypes(&never_allocated, &types, err.get()), err);
  auto type_table = *(*arrow::ImportRecordBatchReader(&types))->ToTable();
  EXPECT_EQ(type_table->column(0)->chunk(0)->ToString(), "[\n  \"BASE TABLE\",\n  \"VIEW\"\n]");
}

TEST(SingleBatchExport, RefusesANullBatch) {
  ArrowArrayStream stream{};
  arrow::Status st = zv::ExportSingleBatch(nullptr, &stream);
  EXPECT_EQ(st.message(), "metadata: null record batch");
  EXPECT_EQ(stream.release, nullptr);
}

}  // namespace
