// The ingest exchange on the wire: the upload's INIT header and the reading
// of the server's STATS or ERROR answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ingest/ingest_options.h"

namespace zv {

// One run's settings as the upload sends them (texts empty when unset).
struct IngestRequest {
  IngestMode mode = IngestMode::kAppend;
  PayloadFormat payload_format = PayloadFormat::kArrowIpc;
  std::string target_table;
  std::string target_location;
  std::string idempotency_key;
  std::vector<std::string> key_columns;
  bool coerce = true;
  // ADBC create/create_append/replace: the CREATE TABLE statement for the
  // target, which the server runs inside the load's transaction (after
  // dropping the old table for replace), so a failed load leaves the catalog
  // as it was.
  TableCreation creation = TableCreation::kNone;
  std::string table_ddl;
};

// The INIT header: one line of JSON, members in a fixed order, schema bytes
// (Arrow IPC only, when given) as base64. "table_action" and "table_ddl" are
// present only when the load creates or replaces its table.
std::string BuildIngestHeader(const IngestRequest& request, std::string_view schema_ipc);

// Appends `text` as a JSON string literal.
void AppendJsonString(std::string& out, std::string_view text);

struct IngestSummary {
  int64_t rows_inserted = 0;
  int64_t rows_updated = 0;
  int64_t rows_deleted = 0;
  int64_t commit_version = -1;
  double duration_ms = 0;
  bool idempotent_replay = false;
  bool counts_known = true;  // false when the STATS text could not be read
  std::vector<std::string> landed_paths;
  std::string message;   // failure text
  std::string sqlstate;  // failure SQLSTATE
};

enum class IngestAnswer { kNone, kStats, kError };

// Walks the response as frames up to the first STATS or ERROR frame and fills
// the summary from it. An ERROR frame is always a failure, also when its
// message is missing.
IngestAnswer ScanIngestResponse(std::string_view response, IngestSummary* summary);

}  // namespace zv
