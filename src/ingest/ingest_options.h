// The ingest settings a statement carries between runs, and the option keys
// that set them.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv {

enum class IngestMode : int32_t { kAppend = 0, kUpsert = 1, kOverwrite = 2, kLand = 3 };
enum class PayloadFormat : int32_t { kArrowIpc = 0, kParquet = 1 };

struct IngestSettings {
  std::optional<std::string> target_table;
  std::optional<std::string> target_location;
  std::optional<std::string> idempotency_key;
  std::vector<std::string> key_columns;
  IngestMode mode = IngestMode::kAppend;
  PayloadFormat payload_format = PayloadFormat::kArrowIpc;
  bool coerce = true;

  // A run needs a table or a storage location to go to.
  bool HasTarget() const { return target_table.has_value() || target_location.has_value(); }
};

// Applies one statement option. A refused value leaves the settings as they
// were. Keys that are not ingest keys fail with "AdbcStatementSetOption:
// unknown key" (HYC00, not implemented).
arrow::Status ApplyIngestOption(IngestSettings& settings, const char* key, const char* value);

// "a, b,,c ," -> {"a", "b", "c"}: pieces between commas, trimmed of ASCII
// white space, empty pieces dropped.
std::vector<std::string> SplitKeyColumns(const char* value);

const char* IngestModeName(IngestMode mode);
const char* PayloadFormatName(PayloadFormat format);

}  // namespace zv
