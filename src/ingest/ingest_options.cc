#include "ingest/ingest_options.h"

#include <cstring>
#include <string_view>

#include "util/failure.h"
#include "util/ascii.h"

namespace zv {

namespace {

arrow::Status BadValue(std::string message) {
  return Failure(FailureKind::kInvalidArgument, "22023", std::move(message));
}

bool IsKeyColumnSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ADBC hosts pass either the bare mode or the full constant spelling
// ("adbc.ingest.mode.append"); a leading dot is not a constant, so the text
// is then judged whole.
std::string_view AdbcModeWord(std::string_view text) {
  const size_t dot = text.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return text;
  return text.substr(dot + 1);
}

}  // namespace

arrow::Status SetAdbcIngestMode(IngestSettings& settings, const char* value) {
  if (value == nullptr) return BadValue("adbc.ingest.mode requires a value");
  const std::string_view word = AdbcModeWord(value);
  static constexpr struct {
    const char* word;
    TableCreation creation;
  } kAdbcModes[] = {{"append", TableCreation::kNone},
                    {"create", TableCreation::kCreate},
                    {"create_append", TableCreation::kCreateIfMissing},
                    {"replace", TableCreation::kReplace}};
  for (const auto& entry : kAdbcModes) {
    if (word == entry.word) {
      // Rows always travel as an append: creating and replacing the table is
      // the driver's part, done with DDL around the load.
      settings.mode = IngestMode::kAppend;
      settings.creation = entry.creation;
      settings.mode_chosen = true;
      return arrow::Status::OK();
    }
  }
  return BadValue(
      "adbc.ingest.mode: unsupported value (use append/create/create_append/replace; for "
      "upsert/land use zv.ingest.mode)");
}

arrow::Status SetServiceIngestMode(IngestSettings& settings, const char* value) {
  if (value == nullptr) return BadValue("zv.ingest.mode requires a value");
  static constexpr struct {
    const char* text;
    IngestMode mode;
  } kModes[] = {{"append", IngestMode::kAppend},
                {"upsert", IngestMode::kUpsert},
                {"overwrite", IngestMode::kOverwrite},
                {"land", IngestMode::kLand}};
  for (const auto& entry : kModes) {
    if (std::strcmp(value, entry.text) == 0) {
      settings.mode = entry.mode;
      settings.creation = TableCreation::kNone;
      settings.mode_chosen = true;
      return arrow::Status::OK();
    }
  }
  return BadValue("zv.ingest.mode: unknown value (use append/upsert/overwrite/land)");
}

arrow::Status SetPayloadFormat(IngestSettings& settings, const char* value) {
  if (value == nullptr) return BadValue("zv.ingest.payload_format requires a value");
  if (std::strcmp(value, "arrow_ipc") == 0) {
    settings.payload_format = PayloadFormat::kArrowIpc;
  } else if (std::strcmp(value, "parquet") == 0) {
    settings.payload_format = PayloadFormat::kParquet;
  } else {
    return BadValue("zv.ingest.payload_format: use arrow_ipc or parquet");
  }
  return arrow::Status::OK();
}

// Temporary tables do not exist on the service. Every spelling of true is
// refused: accepting "TRUE" and loading into a permanent table would quietly
// do something the host did not ask for.
arrow::Status CheckIngestTemporary(IngestSettings&, const char* value) {
  if (value == nullptr) return arrow::Status::OK();
  const std::optional<bool> flag = ParseBooleanText(value);
  if (!flag) return BadValue("adbc.ingest.temporary: use true or false");
  if (*flag) {
    return Failure(FailureKind::kNotImplemented, "HYC00",
                   "adbc.ingest.temporary=true is not implemented in Zorvane v1");
  }
  return arrow::Status::OK();
}

// Any boolean spelling is honoured ("no" turns coercion off); text that is not
// a boolean is refused instead of silently meaning "on".
arrow::Status SetCoerce(IngestSettings& settings, const char* value) {
  if (value == nullptr) {
    settings.coerce = true;
    return arrow::Status::OK();
  }
  const std::optional<bool> flag = ParseBooleanText(value);
  if (!flag) return BadValue("zv.ingest.coerce: use true or false");
  settings.coerce = *flag;
  return arrow::Status::OK();
}

std::vector<std::string> SplitKeyColumns(const char* value) {
  std::vector<std::string> columns;
  if (value == nullptr) return columns;
  std::string_view rest(value);
  while (true) {
    const size_t comma = rest.find(',');
    std::string_view piece = rest.substr(0, comma);
    while (!piece.empty() && IsKeyColumnSpace(piece.front())) piece.remove_prefix(1);
    while (!piece.empty() && IsKeyColumnSpace(piece.back())) piece.remove_suffix(1);
    if (!piece.empty()) columns.emplace_back(piece);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return columns;
}

arrow::Status SetKeyColumns(IngestSettings& settings, const char* value) {
  settings.key_columns = SplitKeyColumns(value);
  return arrow::Status::OK();
}

std::string JoinKeyColumns(const std::vector<std::string>& columns) {
  std::string joined;
  for (const auto& column : columns) joined += (joined.empty() ? "" : ",") + column;
  return joined;
}

void IngestSettings::ClearTarget() {
  target_table.reset();
  target_catalog.reset();
  target_db_schema.reset();
  target_location.reset();
  mode = IngestMode::kAppend;
  creation = TableCreation::kNone;
  mode_chosen = false;
}

IngestSettings WithDefaultMode(IngestSettings settings) {
  // A storage location has no table to create: it needs zv.ingest.mode land.
  if (!settings.mode_chosen && settings.target_table) settings.creation = TableCreation::kCreate;
  return settings;
}

const char* IngestModeName(IngestMode mode) {
  switch (mode) {
    case IngestMode::kAppend: return "append";
    case IngestMode::kUpsert: return "upsert";
    case IngestMode::kOverwrite: return "overwrite";
    case IngestMode::kLand: return "land";
  }
  return "append";
}

const char* TableCreationName(TableCreation creation) {
  switch (creation) {
    case TableCreation::kCreate: return "create";
    case TableCreation::kCreateIfMissing: return "create_append";
    case TableCreation::kReplace: return "replace";
    case TableCreation::kNone: break;
  }
  return "none";
}

}  // namespace zv
