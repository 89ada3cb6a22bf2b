#include "stream/batch_validation.h"

#include <gtest/gtest.h>

#include <arrow/api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using Data = std::shared_ptr<arrow::ArrayData>;

std::shared_ptr<arrow::Buffer> Int32s(const std::vector<int32_t>& values) {
  auto buffer = *arrow::AllocateBuffer(static_cast<int64_t>(values.size() * sizeof(int32_t)));
  std::memcpy(buffer->mutable_data(), values.data(), values.size() * sizeof(int32_t));
  return buffer;
}

std::shared_ptr<arrow::Buffer> Bytes(const std::string& text) {
  return arrow::Buffer::FromString(text);
}

// Two-value columns, `length` 2 unless a case says otherwise.
Data Text(const std::vector<int32_t>& offsets, const std::string& bytes) {
  return arrow::ArrayData::Make(arrow::utf8(), static_cast<int64_t>(offsets.size()) - 1,
                                {nullptr, Int32s(offsets), Bytes(bytes)}, 0);
}

Data Decimals(int64_t length, const std::vector<int64_t>& lanes) {
  auto buffer = *arrow::AllocateBuffer(static_cast<int64_t>(lanes.size() * sizeof(int64_t)));
  std::memcpy(buffer->mutable_data(), lanes.data(), lanes.size() * sizeof(int64_t));
  return arrow::ArrayData::Make(arrow::decimal128(5, 2), length, {nullptr, std::move(buffer)}, 0);
}

Data ListOf(const Data& child, const std::vector<int32_t>& offsets) {
  return arrow::ArrayData::Make(arrow::list(arrow::field("item", child->type)),
                                static_cast<int64_t>(offsets.size()) - 1,
                                {nullptr, Int32s(offsets)}, {child}, 0);
}

Data StructOf(const Data& child, int64_t length, std::shared_ptr<arrow::DataType> declared) {
  return arrow::ArrayData::Make(arrow::struct_({arrow::field("f", std::move(declared))}), length,
                                {nullptr}, {child}, 0);
}

Data DictionaryOf(const Data& values, const std::vector<int32_t>& indices) {
  auto data =
      arrow::ArrayData::Make(arrow::dictionary(arrow::int32(), values->type),
                             static_cast<int64_t>(indices.size()), {nullptr, Int32s(indices)}, 0);
  data->dictionary = values;
  return data;
}

Data MapOf(const Data& keys, const Data& items, const std::vector<int32_t>& offsets) {
  auto entries = arrow::ArrayData::Make(
      arrow::struct_({arrow::field("key", keys->type, false), arrow::field("value", items->type)}),
      keys->length, {nullptr}, {keys, items}, 0);
  return arrow::ArrayData::Make(std::make_shared<arrow::MapType>(keys->type, items->type),
                                static_cast<int64_t>(offsets.size()) - 1,
                                {nullptr, Int32s(offsets)}, {entries}, 0);
}

// A dense union of text (type code 0) and decimals (type code 1).
Data DenseUnionOf(const Data& text, const Data& decimals, const std::vector<int8_t>& codes,
                  const std::vector<int32_t>& offsets) {
  auto type = arrow::dense_union({arrow::field("t", text->type), arrow::field("d", decimals->type)},
                                 {0, 1});
  auto type_ids = *arrow::AllocateBuffer(static_cast<int64_t>(codes.size()));
  std::memcpy(type_ids->mutable_data(), codes.data(), codes.size());
  return arrow::ArrayData::Make(std::move(type), static_cast<int64_t>(codes.size()),
                                {nullptr, std::move(type_ids), Int32s(offsets)}, {text, decimals},
                                0);
}

// Runs of text values; `run_ends` as int32.
Data RunsOf(const Data& values, const std::vector<int32_t>& run_ends, int64_t length) {
  auto ends = arrow::ArrayData::Make(arrow::int32(), static_cast<int64_t>(run_ends.size()),
                                     {nullptr, Int32s(run_ends)}, 0);
  return arrow::ArrayData::Make(arrow::run_end_encoded(arrow::int32(), values->type), length,
                                {nullptr}, {ends, values}, 0);
}

arrow::Status Validate(const Data& column) {
  auto batch = arrow::RecordBatch::Make(arrow::schema({arrow::field("c", column->type)}),
                                        column->length, std::vector<Data>{column});
  return zv::zv_validate_received_batch(*batch);
}

const std::string kNotUtf8 = "ab\xff\xfe";

// 200 one-byte values whose offsets step back once, at `descent` (0: never).
Data LongText(size_t descent) {
  std::vector<int32_t> offsets(201);
  for (size_t i = 0; i < offsets.size(); ++i) offsets[i] = static_cast<int32_t>(i);
  if (descent > 0) offsets[descent] = offsets[descent - 1] - 1;
  return Text(offsets, std::string(200, 'x'));
}

// Text whose bitmap marks both values valid while it claims `null_count` nulls.
Data TextClaimingNulls(int64_t null_count) {
  Data text = Text({0, 2, 4}, kNotUtf8);
  text->buffers[0] = Bytes("\x03");
  text->null_count = null_count;
  return text;
}
// 12345678 does not fit DECIMAL(5,2).
const std::vector<int64_t> kOverPrecision = {12345678, 0, 1, 0};

TEST(ReceivedBatchValidation, ValuesPassAtEveryDepthWhileTheLayoutIsChecked) {
  // Text that is not UTF-8 and decimals beyond their precision protect no
  // reader's memory: they reach the host as sent, however deeply nested. A
  // layout that would send a reader outside the buffers is refused.
  const struct {
    const char* name;
    Data column;
    bool accepted;
  } cases[] = {
      {"text", Text({0, 2, 4}, kNotUtf8), true},
      {"decimal", Decimals(2, kOverPrecision), true},
      {"list of text", ListOf(Text({0, 2, 4}, kNotUtf8), {0, 1, 2}), true},
      {"struct of decimal", StructOf(Decimals(2, kOverPrecision), 2, arrow::decimal128(5, 2)),
       true},
      {"list of struct of text",
       ListOf(StructOf(Text({0, 2, 4}, kNotUtf8), 2, arrow::utf8()), {0, 2}), true},
      {"dictionary of text", DictionaryOf(Text({0, 2, 4}, kNotUtf8), {1, 0}), true},
      {"map of text to decimal",
       MapOf(Text({0, 2, 4}, kNotUtf8), Decimals(2, kOverPrecision), {0, 2}), true},
      {"union of text and decimal",
       DenseUnionOf(Text({0, 2, 4}, kNotUtf8), Decimals(2, kOverPrecision), {0, 1}, {1, 0}), true},
      {"runs of text", RunsOf(Text({0, 2, 4}, kNotUtf8), {3, 5}, 5), true},
      {"long text", LongText(0), true},
      {"text with its null count", TextClaimingNulls(0), true},
      {"text offset past the data", Text({0, 2, 40}, kNotUtf8), false},
      {"long text offsets going backwards mid-way", LongText(130), false},
      {"long text offsets going backwards near the end", LongText(197), false},
      {"null count the bitmap does not have", TextClaimingNulls(1), false},
      {"nested null count the bitmap does not have",
       StructOf(TextClaimingNulls(1), 2, arrow::utf8()), false},
      {"decimal data shorter than its length", Decimals(3, kOverPrecision), false},
      {"nested text offset past the data", ListOf(Text({0, 2, 40}, kNotUtf8), {0, 1, 2}), false},
      {"nested text offsets going backwards", ListOf(Text({0, 3, 2}, kNotUtf8), {0, 1, 2}), false},
      {"list offset past its child", ListOf(Text({0, 2, 4}, kNotUtf8), {0, 1, 3}), false},
      {"nested decimal data too short",
       StructOf(Decimals(3, kOverPrecision), 3, arrow::decimal128(5, 2)), false},
      {"struct child shorter than the struct",
       StructOf(Text({0, 2, 4}, kNotUtf8), 3, arrow::utf8()), false},
      {"struct child of another type than its field",
       StructOf(Decimals(2, kOverPrecision), 2, arrow::utf8()), false},
      {"dictionary index past the dictionary", DictionaryOf(Text({0, 2, 4}, kNotUtf8), {1, 2}),
       false},
      {"dictionary of text with an offset past the data",
       DictionaryOf(Text({0, 2, 40}, kNotUtf8), {1, 0}), false},
      {"map offset past its entries",
       MapOf(Text({0, 2, 4}, kNotUtf8), Decimals(2, kOverPrecision), {0, 3}), false},
      {"union offset past its child",
       DenseUnionOf(Text({0, 2, 4}, kNotUtf8), Decimals(2, kOverPrecision), {0, 1}, {2, 0}), false},
      {"run ends going backwards", RunsOf(Text({0, 2, 4}, kNotUtf8), {3, 2}, 3), false},
      {"map items too short", MapOf(Text({0, 2, 4}, kNotUtf8), Decimals(2, {1, 0}), {0, 2}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const arrow::Status status = Validate(c.column);
    if (c.accepted) {
      EXPECT_TRUE(status.ok()) << status.ToString();
    } else {
      EXPECT_TRUE(status.IsInvalid()) << status.ToString();
      EXPECT_NE(status.message().find("received batch is malformed: "), std::string::npos);
    }
  }
}

}  // namespace
