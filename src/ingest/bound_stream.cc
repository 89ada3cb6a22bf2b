#include "ingest/bound_stream.h"

#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include "util/failure.h"

namespace zv {

arrow::Result<OwnedArrowStream> StreamOfOneBatch(ArrowArray* array, ArrowSchema* schema) {
  auto imported = arrow::ImportRecordBatch(array, schema);
  // The importer leaves the array with the caller when it fails; the bind
  // owns it either way.
  if (array->release != nullptr) array->release(array);
  if (schema->release != nullptr) schema->release(schema);
  if (!imported.ok()) {
    return Failure(FailureKind::kInvalidArgument, "22023",
                   "AdbcStatementBind: ImportRecordBatch failed: " + imported.status().message());
  }
  std::shared_ptr<arrow::RecordBatch> batch = std::move(*imported);
  auto reader = arrow::RecordBatchReader::Make({batch}, batch->schema());
  if (!reader.ok()) {
    return Failure(
        FailureKind::kInternal, "HY000",
        "AdbcStatementBind: RecordBatchReader::Make failed: " + reader.status().message());
  }
  OwnedArrowStream owned;
  arrow::Status exported = arrow::ExportRecordBatchReader(*reader, owned.get());
  if (!exported.ok()) {
    owned.Reset();
    return Failure(FailureKind::kInternal, "HY000",
                   "AdbcStatementBind: ExportRecordBatchReader failed: " + exported.message());
  }
  return owned;
}

}  // namespace zv
