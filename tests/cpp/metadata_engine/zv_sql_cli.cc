// zv_sql_cli --relation NAME=FILE [--relation ...] --sql TEXT --out FILE
//
// Registers each FILE (an Arrow IPC stream) under NAME, runs TEXT through the
// metadata engine and writes the result batch to --out as an Arrow IPC stream.
// Prints one line to stdout: "ok", "not_handled <reason>" or "error <text>".
// Exit status 0 whenever the engine produced a result of any status.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <arrow/io/file.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>

#include "metadata_engine/metadata_engine.h"

namespace {

arrow::Status register_file(zv_sql::MetadataEngine& engine, const std::string& name_and_path) {
  const size_t eq = name_and_path.find('=');
  if (eq == std::string::npos)
    return arrow::Status::Invalid("--relation wants NAME=FILE, got ", name_and_path);
  ARROW_ASSIGN_OR_RAISE(auto file, arrow::io::ReadableFile::Open(name_and_path.substr(eq + 1)));
  ARROW_ASSIGN_OR_RAISE(auto reader, arrow::ipc::RecordBatchStreamReader::Open(file));
  ARROW_ASSIGN_OR_RAISE(auto batches, reader->ToRecordBatches());
  engine.register_relation(name_and_path.substr(0, eq), reader->schema(), std::move(batches));
  return arrow::Status::OK();
}

arrow::Status write_result(const zv_sql::ExecuteResult& result, const std::string& path) {
  ARROW_ASSIGN_OR_RAISE(auto out, arrow::io::FileOutputStream::Open(path));
  ARROW_ASSIGN_OR_RAISE(auto writer, arrow::ipc::MakeStreamWriter(out, result.schema));
  for (const auto& batch : result.batches) ARROW_RETURN_NOT_OK(writer->WriteRecordBatch(*batch));
  ARROW_RETURN_NOT_OK(writer->Close());
  return out->Close();
}

arrow::Status run(int argc, char** argv) {
  zv_sql::MetadataEngine engine;
  std::string sql;
  std::string out_path;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--relation") {
      ARROW_RETURN_NOT_OK(register_file(engine, argv[i + 1]));
    } else if (flag == "--sql") {
      sql = argv[i + 1];
    } else if (flag == "--out") {
      out_path = argv[i + 1];
    } else {
      return arrow::Status::Invalid("unknown flag ", flag);
    }
  }
  const zv_sql::ExecuteResult result = engine.execute_sql(sql);
  switch (result.status) {
    case zv_sql::ExecuteStatus::Ok:
      std::cout << "ok\n";
      return out_path.empty() ? arrow::Status::OK() : write_result(result, out_path);
    case zv_sql::ExecuteStatus::NotHandled:
      std::cout << "not_handled " << result.reason << "\n";
      return arrow::Status::OK();
    case zv_sql::ExecuteStatus::Error:
      std::cout << "error " << result.error << "\n";
      return arrow::Status::OK();
  }
  return arrow::Status::Invalid("unknown status");
}

}  // namespace

int main(int argc, char** argv) {
  arrow::Status status = run(argc, argv);
  if (!status.ok()) {
    std::cerr << status.ToString() << "\n";
    return 2;
  }
  return 0;
}
