#include "ingest/ingest_protocol_internal.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "ingest/payload_encoder_internal.h"
#include "stream/base64.h"
#include "stream/frame.h"

namespace zv {

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
          out += escaped;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

std::string BuildIngestHeader(const IngestRequest& request, std::string_view schema_ipc) {
  std::string out = "{";
  auto member = [&out](const char* name) {
    if (out.size() > 1) out.push_back(',');
    out.push_back('"');
    out += name;
    out += "\":";
  };
  if (!request.target_table.empty()) {
    member("target_table");
    AppendJsonString(out, request.target_table);
  }
  if (!request.target_location.empty()) {
    member("target_location");
    AppendJsonString(out, request.target_location);
  }
  member("mode");
  AppendJsonString(out, IngestModeName(request.mode));
  member("payload_format");
  AppendJsonString(out, PayloadFormatName(request.payload_format));
  member("key_columns");
  out.push_back('[');
  for (size_t i = 0; i < request.key_columns.size(); ++i) {
    if (i > 0) out.push_back(',');
    AppendJsonString(out, request.key_columns[i]);
  }
  out.push_back(']');
  if (PayloadCodecFor(request.payload_format).sends_schema && !schema_ipc.empty()) {
    member("schema_ipc");
    out.push_back('"');
    out += zv_base64_encode(reinterpret_cast<const uint8_t*>(schema_ipc.data()), schema_ipc.size());
    out.push_back('"');
  }
  if (!request.idempotency_key.empty()) {
    member("idempotency_key");
    AppendJsonString(out, request.idempotency_key);
  }
  member("coerce");
  out += request.coerce ? "true" : "false";
  if (request.creation != TableCreation::kNone) {
    member("table_action");
    AppendJsonString(out, TableCreationName(request.creation));
    member("table_ddl");
    AppendJsonString(out, request.table_ddl);
  }
  out.push_back('}');
  return out;
}

namespace {

// The answer is parsed as JSON rather than scanned for key names: a landed
// path or message that happens to contain a member name, a bracket or an
// escape must not change what is read.
void ReadStats(std::string_view text, IngestSummary* summary) {
  nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) {
    // The load succeeded but its statistics are unreadable: the row count is
    // unknown, not zero.
    summary->counts_known = false;
    return;
  }
  auto integer = [&json](const char* name, int64_t* slot) {
    auto it = json.find(name);
    if (it != json.end() && it->is_number_integer()) *slot = it->get<int64_t>();
  };
  integer("rows_inserted", &summary->rows_inserted);
  integer("rows_updated", &summary->rows_updated);
  integer("rows_deleted", &summary->rows_deleted);
  integer("commit_version", &summary->commit_version);
  if (auto it = json.find("duration_ms"); it != json.end() && it->is_number()) {
    summary->duration_ms = it->get<double>();
  }
  if (auto it = json.find("idempotent_replay"); it != json.end() && it->is_boolean()) {
    summary->idempotent_replay = it->get<bool>();
  }
  if (auto it = json.find("landed_paths"); it != json.end() && it->is_array()) {
    for (const auto& path : *it) {
      if (path.is_string()) summary->landed_paths.push_back(path.get<std::string>());
    }
  }
}

std::string StringMember(const nlohmann::json& json, const char* name) {
  if (!json.is_object()) return {};
  auto it = json.find(name);
  return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void ReadError(std::string_view text, IngestSummary* summary) {
  nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  std::string message = StringMember(json, "message");
  if (message.empty()) message = StringMember(json, "error");
  if (message.empty()) message = "ingest: server reported an error with no message";
  std::string sqlstate = StringMember(json, "sqlstate");
  if (sqlstate.size() != 5) sqlstate = "HY000";
  summary->message = std::move(message);
  summary->sqlstate = std::move(sqlstate);
}

}  // namespace

IngestAnswer ScanIngestResponse(std::string_view response, IngestSummary* summary) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(response.data());
  size_t offset = 0;
  while (response.size() - offset >= kZvFrameHeaderSize) {
    const uint8_t type = bytes[offset];
    const uint64_t length = zv_read_be32(bytes + offset + 4);
    const size_t start = offset + kZvFrameHeaderSize;
    if (length > response.size() - start) return IngestAnswer::kNone;
    const std::string_view payload = response.substr(start, length);
    if (type == kZvFrameStats) {
      if (payload.size() < 8) return IngestAnswer::kNone;
      ReadStats(payload.substr(8), summary);
      return IngestAnswer::kStats;
    }
    if (type == kZvFrameError) {
      ReadError(payload, summary);
      return IngestAnswer::kError;
    }
    offset = start + length;
  }
  return IngestAnswer::kNone;
}

}  // namespace zv
