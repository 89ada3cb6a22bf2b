#include "ingest/payload_encoder_internal.h"

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <gtest/gtest.h>
#include <parquet/arrow/reader.h>

#include <cstring>

#include "stream/base64.h"

namespace {

std::shared_ptr<arrow::RecordBatch> SampleBatch(int64_t first, int rows) {
  auto schema =
      arrow::schema({arrow::field("id", arrow::int64(), false), arrow::field("name", arrow::utf8()),
                     arrow::field("price", arrow::float64())});
  arrow::Int64Builder ids;
  arrow::StringBuilder names;
  arrow::DoubleBuilder prices;
  for (int i = 0; i < rows; ++i) {
    EXPECT_TRUE(ids.Append(first + i).ok());
    if (i % 3 == 1) {
      EXPECT_TRUE(names.AppendNull().ok());
    } else {
      EXPECT_TRUE(names.Append("n" + std::to_string(first + i)).ok());
    }
    EXPECT_TRUE(prices.Append(0.5 * i).ok());
  }
  return arrow::RecordBatch::Make(
      schema, rows,
      {ids.Finish().ValueOrDie(), names.Finish().ValueOrDie(), prices.Finish().ValueOrDie()});
}

std::vector<std::shared_ptr<arrow::RecordBatch>> ReadIpc(const std::shared_ptr<arrow::Buffer>& b,
                                                         std::shared_ptr<arrow::Schema>* schema) {
  auto reader =
      arrow::ipc::RecordBatchStreamReader::Open(std::make_shared<arrow::io::BufferReader>(b))
          .ValueOrDie();
  *schema = reader->schema();
  return reader->ToRecordBatches().ValueOrDie();
}

TEST(IpcPayload, EveryBatchPayloadDecodesAloneWithTheFullSchema) {
  for (const auto& batch : {SampleBatch(0, 5), SampleBatch(100, 1), SampleBatch(7, 300)}) {
    auto encoded = zv::EncodeBatch(*batch, zv::PayloadFormat::kArrowIpc);
    ASSERT_TRUE(encoded.ok()) << encoded.status();
    std::shared_ptr<arrow::Schema> schema;
    auto batches = ReadIpc(*encoded, &schema);
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_TRUE(schema->Equals(*batch->schema()));
    EXPECT_TRUE(batches[0]->Equals(*batch));
  }
}

TEST(IpcPayload, SchemaBytesHoldNoBatch) {
  auto batch = SampleBatch(0, 2);
  auto encoded = zv::EncodeSchemaIpc(*batch->schema());
  ASSERT_TRUE(encoded.ok());
  std::shared_ptr<arrow::Schema> schema;
  EXPECT_TRUE(ReadIpc(*encoded, &schema).empty());
  EXPECT_TRUE(schema->Equals(*batch->schema()));
}

TEST(ParquetPayload, EachPayloadIsAWholeFileOfExactlyThatBatch) {
  for (const auto& batch : {SampleBatch(0, 4), SampleBatch(50, 2000)}) {
    auto encoded = zv::EncodeBatch(*batch, zv::PayloadFormat::kParquet);
    ASSERT_TRUE(encoded.ok()) << encoded.status();
    const auto& bytes = **encoded;
    ASSERT_GE(bytes.size(), 8);
    EXPECT_EQ(std::memcmp(bytes.data(), "PAR1", 4), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + bytes.size() - 4, "PAR1", 4), 0);

    auto opened = parquet::arrow::OpenFile(std::make_shared<arrow::io::BufferReader>(*encoded),
                                           arrow::default_memory_pool());
    ASSERT_TRUE(opened.ok()) << opened.status();
    std::unique_ptr<parquet::arrow::FileReader> reader = std::move(*opened);
    auto read = reader->ReadTable();
    ASSERT_TRUE(read.ok()) << read.status();
    std::shared_ptr<arrow::Table> table = *read;
    auto expected = arrow::Table::FromRecordBatches({batch}).ValueOrDie();
    EXPECT_TRUE(table->CombineChunks().ValueOrDie()->Equals(*expected));
  }
}

TEST(ParquetPayload, UnwritableTypeFailsWithTheStepNamed) {
  // Parquet has no representation for a null-typed column inside a map key.
  auto type = arrow::map(arrow::null(), arrow::int32());
  auto schema = arrow::schema({arrow::field("m", type)});
  auto array = arrow::MakeArrayOfNull(type, 1).ValueOrDie();
  auto batch = arrow::RecordBatch::Make(schema, 1, {array});
  auto encoded = zv::EncodeBatchParquet(*batch);
  if (encoded.ok()) GTEST_SKIP() << "this Parquet library accepts the type";
  const std::string& message = encoded.status().message();
  EXPECT_TRUE(message.rfind("parquet::FileWriter::Open: ", 0) == 0 ||
              message.rfind("parquet WriteRecordBatch: ", 0) == 0)
      << message;
}

TEST(SchemaBase64, TwoHundredBytesGiveTwoHundredSixtyEightCharacters) {
  std::vector<uint8_t> bytes(200, 0xAB);
  const std::string text = zv::zv_base64_encode(bytes.data(), bytes.size());
  EXPECT_EQ(text.size(), 268u);
  // 200 = 66 * 3 + 2: one character of padding, not two.
  EXPECT_EQ(text.back(), '=');
  EXPECT_NE(text[text.size() - 2], '=');
}

}  // namespace
