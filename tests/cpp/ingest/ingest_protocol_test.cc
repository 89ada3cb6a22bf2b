#include "ingest/ingest_protocol_internal.h"

#include <gtest/gtest.h>

#include "stream/frame.h"

namespace {

std::string Frame(uint8_t type, const std::string& payload) {
  auto bytes =
      zv::zv_frame_encode(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size())
          .ValueOrDie();
  return std::string(bytes.begin(), bytes.end());
}

std::string Stats(const std::string& json) {
  return Frame(zv::kZvFrameStats, std::string(8, '\0') + json);
}

TEST(IngestHeader, MembersInFixedOrderWithOptionalOnesOmitted) {
  zv::IngestRequest request;
  request.target_table = "sales";
  EXPECT_EQ(zv::BuildIngestHeader(request, "\x01\x02\x03"),
            R"({"target_table":"sales","mode":"append","payload_format":"arrow_ipc",)"
            R"("key_columns":[],"schema_ipc":"AQID","coerce":true})");

  request.mode = zv::IngestMode::kLand;
  request.payload_format = zv::PayloadFormat::kParquet;
  request.target_table.clear();
  request.target_location = "bucket/x";
  request.key_columns = {"a", "b"};
  request.idempotency_key = "k1";
  request.coerce = false;
  EXPECT_EQ(zv::BuildIngestHeader(request, "ignored for parquet"),
            R"({"target_location":"bucket/x","mode":"land","payload_format":"parquet",)"
            R"("key_columns":["a","b"],"idempotency_key":"k1","coerce":false})");

  zv::IngestRequest replace;
  replace.target_table = "\"t\"";
  replace.creation = zv::TableCreation::kReplace;
  replace.table_ddl = "CREATE TABLE \"t\" (\"a\" BIGINT)";
  EXPECT_EQ(zv::BuildIngestHeader(replace, "\x01"),
            R"({"target_table":"\"t\"","mode":"append","payload_format":"arrow_ipc",)"
            R"("key_columns":[],"schema_ipc":"AQ==","coerce":true,"table_action":"replace",)"
            R"j("table_ddl":"CREATE TABLE \"t\" (\"a\" BIGINT)"})j");
}

TEST(IngestHeader, StringsAreEscapedAndUtf8PassesThrough) {
  struct Case {
    std::string text;
    std::string json;
  } cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"t\x01\x1f\n\t", R"("t\u0001\u001f\n\t")"},
      {"caf\xc3\xa9\x7f", "\"caf\xc3\xa9\x7f\""},
  };
  for (const auto& c : cases) {
    std::string out;
    zv::AppendJsonString(out, c.text);
    EXPECT_EQ(out, c.json);
  }
}

TEST(IngestResponse, StatsAndErrorFramesAreReadAsJson) {
  struct Case {
    std::string body;
    zv::IngestAnswer answer;
    int64_t affected;
    int64_t commit_version;
    std::vector<std::string> paths;
    std::string message;
    std::string sqlstate;
  } cases[] = {
      {Stats(R"({"rows_inserted":10,"rows_updated":2,"rows_deleted":1,"commit_version":7})"),
       zv::IngestAnswer::kStats,
       13,
       7,
       {},
       "",
       ""},
      {Stats(R"({"rows_inserted":3})"), zv::IngestAnswer::kStats, 3, -1, {}, "", ""},
      // A path with a bracket and a quoted member name inside must not cut the list
      // or be mistaken for a count.
      {Stats(R"({"landed_paths":["a]b","x\"rows_inserted\":99"],"rows_inserted":2})"),
       zv::IngestAnswer::kStats,
       2,
       -1,
       {"a]b", "x\"rows_inserted\":99"},
       "",
       ""},
      {Frame(zv::kZvFrameTrace, "t") + Stats(R"({"landed_paths":[]})"),
       zv::IngestAnswer::kStats,
       0,
       -1,
       {},
       "",
       ""},
      {Frame(zv::kZvFrameError, R"({"message":"no table\nhere","sqlstate":"42S02"})"),
       zv::IngestAnswer::kError,
       0,
       -1,
       {},
       "no table\nhere",
       "42S02"},
      // An ERROR frame without a message is still a failure.
      {Frame(zv::kZvFrameError, R"({"sqlstate":"23000"})"),
       zv::IngestAnswer::kError,
       0,
       -1,
       {},
       "ingest: server reported an error with no message",
       "23000"},
      {Frame(zv::kZvFrameError, "not json"),
       zv::IngestAnswer::kError,
       0,
       -1,
       {},
       "ingest: server reported an error with no message",
       "HY000"},
      {Frame(zv::kZvFrameStats, "1234567"), zv::IngestAnswer::kNone, 0, -1, {}, "", ""},
      {Stats("{}").substr(0, 10), zv::IngestAnswer::kNone, 0, -1, {}, "", ""},
      {"", zv::IngestAnswer::kNone, 0, -1, {}, "", ""},
  };
  int index = 0;
  for (const auto& c : cases) {
    zv::IngestSummary summary;
    EXPECT_EQ(zv::ScanIngestResponse(c.body, &summary), c.answer) << index;
    EXPECT_EQ(summary.rows_inserted + summary.rows_updated + summary.rows_deleted, c.affected)
        << index;
    EXPECT_EQ(summary.commit_version, c.commit_version) << index;
    EXPECT_EQ(summary.landed_paths, c.paths) << index;
    EXPECT_EQ(summary.message, c.message) << index;
    EXPECT_EQ(summary.sqlstate, c.sqlstate) << index;
    ++index;
  }
}

TEST(IngestResponse, UnreadableStatsLeaveTheRowCountUnknownNotZero) {
  zv::IngestSummary summary;
  EXPECT_EQ(zv::ScanIngestResponse(Stats(R"({"rows_inserted":5,"duration_ms":NaN})"), &summary),
            zv::IngestAnswer::kStats);
  EXPECT_FALSE(summary.counts_known);
  zv::IngestSummary readable;
  zv::ScanIngestResponse(Stats(R"({"rows_inserted":5})"), &readable);
  EXPECT_TRUE(readable.counts_known);
}

}  // namespace
