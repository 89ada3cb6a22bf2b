#include "ingest/payload_encoder_internal.h"

#include <arrow/io/memory.h>
#include <arrow/ipc/writer.h>
#include <arrow/memory_pool.h>
#include <arrow/table.h>
#include <arrow/util/byte_size.h>
#include <parquet/arrow/writer.h>
#include <parquet/properties.h>

#include <algorithm>

#include "ingest/table_ddl_internal.h"

namespace zv {

namespace {

arrow::Status Prefixed(const char* prefix, const arrow::Status& status) {
  return arrow::Status(status.code(), prefix + status.message());
}

arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeIpc(
    const std::shared_ptr<arrow::Schema>& schema, const arrow::RecordBatch* batch) {
  ARROW_ASSIGN_OR_RAISE(auto sink, arrow::io::BufferOutputStream::Create(0));
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(
                                         sink, schema, arrow::ipc::IpcWriteOptions::Defaults()));
  if (batch != nullptr) ARROW_RETURN_NOT_OK(writer->WriteRecordBatch(*batch));
  ARROW_RETURN_NOT_OK(writer->Close());
  return sink->Finish();
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeSchemaIpc(const arrow::Schema& schema) {
  return EncodeIpc(std::make_shared<arrow::Schema>(schema), nullptr);
}

arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatchIpc(const arrow::RecordBatch& batch) {
  return EncodeIpc(batch.schema(), &batch);
}

namespace {

std::shared_ptr<parquet::WriterProperties> ParquetProperties(const arrow::RecordBatch& batch,
                                                             PayloadUse use) {
  parquet::WriterProperties::Builder builder;
  // One row group whatever the batch's length: the batch is the unit of the
  // upload, and a reader then walks one group.
  builder.max_row_group_length(std::max<int64_t>(1, batch.num_rows()));
  if (use == PayloadUse::kDecodedOnce) builder.disable_dictionary()->disable_statistics();
  return builder.build();
}

}  // namespace

arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatchParquet(const arrow::RecordBatch& batch,
                                                                 PayloadUse use) {
  // A plain file is about as large as the batch's buffers: reserving that
  // (and room for the footer) spares the growing buffer its copies.
  auto size = arrow::util::ReferencedBufferSize(batch);
  const int64_t reserve = use == PayloadUse::kDecodedOnce && size.ok() ? *size + (64 << 10) : 0;
  auto sink = arrow::io::BufferOutputStream::Create(reserve);
  if (!sink.ok()) return Prefixed("BufferOutputStream::Create: ", sink.status());
  std::shared_ptr<parquet::WriterProperties> properties = ParquetProperties(batch, use);
  // Without the stored Arrow schema a reader sees only Parquet's own types:
  // durations become integers, zones become UTC, large and dictionary types
  // plain ones.
  std::shared_ptr<parquet::ArrowWriterProperties> arrow_properties =
      parquet::ArrowWriterProperties::Builder().store_schema()->build();
  auto writer = parquet::arrow::FileWriter::Open(*batch.schema(), arrow::default_memory_pool(),
                                                 *sink, properties, arrow_properties);
  if (!writer.ok()) return Prefixed("parquet::FileWriter::Open: ", writer.status());
  arrow::Status status = (*writer)->WriteRecordBatch(batch);
  if (!status.ok()) return Prefixed("parquet WriteRecordBatch: ", status);
  status = (*writer)->Close();
  if (!status.ok()) return Prefixed("parquet writer Close: ", status);
  auto buffer = (*sink)->Finish();
  if (!buffer.ok()) return Prefixed("BufferOutputStream::Finish: ", buffer.status());
  return buffer;
}

namespace {

arrow::Result<std::shared_ptr<arrow::Buffer>> EncodeBatchIpcForUpload(
    const arrow::RecordBatch& batch, PayloadUse) {
  auto encoded = EncodeBatchIpc(batch);
  if (!encoded.ok()) return Prefixed("encode_batch_ipc failed: ", encoded.status());
  return encoded;
}

// Arrow IPC carries every Arrow type.
arrow::Status AnyArrowSchema(const arrow::Schema&) { return arrow::Status::OK(); }

constexpr PayloadCodec kArrowIpcCodec = {"arrow_ipc",
                                         /*sends_schema=*/true,
                                         /*supports_upsert=*/true,
                                         /*encodes_in_parallel=*/false,
                                         &AnyArrowSchema,
                                         &EncodeBatchIpcForUpload};
constexpr PayloadCodec kParquetCodec = {"parquet",
                                        /*sends_schema=*/false,
                                        /*supports_upsert=*/false,
                                        /*encodes_in_parallel=*/true,
                                        &CheckParquetEncodable,
                                        &EncodeBatchParquet};

}  // namespace

const PayloadCodec& PayloadCodecFor(PayloadFormat format) {
  switch (format) {
    case PayloadFormat::kArrowIpc: return kArrowIpcCodec;
    case PayloadFormat::kParquet: return kParquetCodec;
  }
  return kArrowIpcCodec;  // not reached: the enum has no other values
}

const char* PayloadFormatName(PayloadFormat format) { return PayloadCodecFor(format).name; }

}  // namespace zv
