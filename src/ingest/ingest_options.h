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

// What an ADBC ingest mode asks of the target table before rows are loaded.
// The service's own modes (zv.ingest.mode) never create or drop a table.
enum class TableCreation : int32_t {
  kNone = 0,             // the table must exist (append, and every zv.ingest.mode)
  kCreate = 1,           // create it; an existing table is an error
  kCreateIfMissing = 2,  // create it unless it exists, then append
  kReplace = 3,          // afterwards the table holds exactly the bound schema and rows
};

struct IngestSettings {
  std::optional<std::string> target_table;
  std::optional<std::string> target_catalog;
  std::optional<std::string> target_db_schema;
  std::optional<std::string> target_location;
  std::optional<std::string> idempotency_key;
  std::vector<std::string> key_columns;
  // What the mode keys set; while neither was set (mode_chosen false) a run
  // uses ADBC's default mode, create (WithDefaultMode).
  IngestMode mode = IngestMode::kAppend;
  TableCreation creation = TableCreation::kNone;
  bool mode_chosen = false;
  PayloadFormat payload_format = PayloadFormat::kArrowIpc;
  bool coerce = true;

  // A run needs a table or a storage location to go to.
  bool HasTarget() const { return target_table.has_value() || target_location.has_value(); }

  // SetSqlQuery: the statement runs SQL from now on. Target table, catalog,
  // schema and location are dropped and the mode goes back to its default;
  // the other settings stay for a later ingest.
  void ClearTarget();
};

// The settings a run uses: with neither mode key set, a table is loaded in
// ADBC's default mode, create.
IngestSettings WithDefaultMode(IngestSettings settings);

// The setters behind the statement's ingest options (the driver's option
// table names their keys). Each checks its value; a refused value (22023, or
// HYC00 for a temporary table) leaves the settings as they were.
//
// adbc.ingest.mode: "append", "create", "create_append" or "replace", bare or
// as the ADBC constant spelling ("adbc.ingest.mode.append").
arrow::Status SetAdbcIngestMode(IngestSettings& settings, const char* value);
// zv.ingest.mode: "append", "upsert", "overwrite" or "land".
arrow::Status SetServiceIngestMode(IngestSettings& settings, const char* value);
// zv.ingest.payload_format: "arrow_ipc" or "parquet".
arrow::Status SetPayloadFormat(IngestSettings& settings, const char* value);
// adbc.ingest.temporary: false (or null) only; nothing is stored.
arrow::Status CheckIngestTemporary(IngestSettings& settings, const char* value);
// zv.ingest.coerce: any boolean spelling; null means true.
arrow::Status SetCoerce(IngestSettings& settings, const char* value);
// zv.ingest.key_columns: SplitKeyColumns of the value.
arrow::Status SetKeyColumns(IngestSettings& settings, const char* value);

// "a, b,,c ," -> {"a", "b", "c"}: pieces between commas, trimmed of ASCII
// white space, empty pieces dropped.
std::vector<std::string> SplitKeyColumns(const char* value);
// {"a", "b"} -> "a,b".
std::string JoinKeyColumns(const std::vector<std::string>& columns);

const char* IngestModeName(IngestMode mode);
// "create", "create_append", "replace" ("none" for kNone).
const char* TableCreationName(TableCreation creation);
const char* PayloadFormatName(PayloadFormat format);

}  // namespace zv
