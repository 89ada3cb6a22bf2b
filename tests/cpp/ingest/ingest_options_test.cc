#include "ingest/ingest_options.h"

#include <gtest/gtest.h>

#include "driver/adbc_status.h"
#include "driver/handle_record.h"
#include "driver/statement.h"
#include "driver/adbc_test_util.h"

namespace {

using zv::IngestMode;
using zv::IngestSettings;
using zv::PayloadFormat;

AdbcStatusCode CodeOf(const arrow::Status& status) {
  if (status.ok()) return ADBC_STATUS_OK;
  const zv::FailureDetail* detail = zv::FailureDetailOf(status);
  return detail ? zv::AdbcStatusFor(detail->kind()) : ADBC_STATUS_UNKNOWN;
}

std::string SqlstateOf(const arrow::Status& status) {
  const zv::FailureDetail* detail = zv::FailureDetailOf(status);
  return detail ? detail->sqlstate() : "";
}

// One option set through the statement's option table, as
// AdbcStatementSetOption sets it, on a statement holding `settings`.
arrow::Status ApplyIngestOption(IngestSettings& settings, const char* key, const char* value) {
  const auto* row = zv::FindOption(zv::StatementOptions(), key);
  if (row == nullptr || !row->settable()) return arrow::Status::KeyError(key);
  zv::ZVStatement stmt;
  stmt.ingest = std::move(settings);
  arrow::Status status = zv::StoreOption(*row, stmt, value);
  settings = std::move(stmt.ingest);
  return status;
}

TEST(IngestModeOption, BothKeysWriteOneSettingAndRefusalsKeepThePrevious) {
  using zv::TableCreation;
  struct Case {
    const char* key;
    const char* value;
    AdbcStatusCode code;
    IngestMode mode;  // after the call, starting from upsert with kCreate
    TableCreation creation;
  } cases[] = {
      {"adbc.ingest.mode", "adbc.ingest.mode.replace", ADBC_STATUS_OK, IngestMode::kAppend,
       TableCreation::kReplace},
      {"adbc.ingest.mode", "adbc.ingest.mode.create", ADBC_STATUS_OK, IngestMode::kAppend,
       TableCreation::kCreate},
      {"adbc.ingest.mode", "create_append", ADBC_STATUS_OK, IngestMode::kAppend,
       TableCreation::kCreateIfMissing},
      {"adbc.ingest.mode", "append", ADBC_STATUS_OK, IngestMode::kAppend, TableCreation::kNone},
      {"adbc.ingest.mode", ".append", ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
      {"adbc.ingest.mode", "Append", ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
      {"adbc.ingest.mode", "upsert", ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
      {"adbc.ingest.mode", nullptr, ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
      {"zv.ingest.mode", "land", ADBC_STATUS_OK, IngestMode::kLand, TableCreation::kNone},
      {"zv.ingest.mode", "overwrite", ADBC_STATUS_OK, IngestMode::kOverwrite, TableCreation::kNone},
      {"zv.ingest.mode", "replace", ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
      {"zv.ingest.mode", nullptr, ADBC_STATUS_INVALID_ARGUMENT, IngestMode::kUpsert,
       TableCreation::kCreate},
  };
  for (const auto& c : cases) {
    IngestSettings settings;
    settings.mode = IngestMode::kUpsert;
    settings.creation = TableCreation::kCreate;
    arrow::Status status = ApplyIngestOption(settings, c.key, c.value);
    const std::string label = std::string(c.key) + "=" + (c.value ? c.value : "(null)");
    EXPECT_EQ(CodeOf(status), c.code) << label;
    if (!status.ok()) EXPECT_EQ(SqlstateOf(status), "22023") << label;
    EXPECT_EQ(settings.mode, c.mode) << label;
    EXPECT_EQ(settings.creation, c.creation) << label;
  }
}

TEST(IngestModeOption, WithNeitherKeySetATableIsCreatedAndEveryExplicitModeKeepsItsMeaning) {
  using zv::TableCreation;
  struct Case {
    const char* key;  // null: no mode set
    const char* value;
    TableCreation creation;  // what a run into a table uses
  } cases[] = {
      {nullptr, nullptr, TableCreation::kCreate},
      {"adbc.ingest.mode", "adbc.ingest.mode.append", TableCreation::kNone},
      {"adbc.ingest.mode", "adbc.ingest.mode.create_append", TableCreation::kCreateIfMissing},
      {"zv.ingest.mode", "append", TableCreation::kNone},
      {"zv.ingest.mode", "upsert", TableCreation::kNone},
  };
  for (const auto& c : cases) {
    IngestSettings settings;
    ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_table", "t").ok());
    if (c.key) ASSERT_TRUE(ApplyIngestOption(settings, c.key, c.value).ok());
    EXPECT_EQ(zv::WithDefaultMode(settings).creation, c.creation) << (c.key ? c.value : "none");
  }
  // A storage location has no table to create.
  IngestSettings land;
  ASSERT_TRUE(ApplyIngestOption(land, "zv.ingest.target_location", "s3://x/").ok());
  EXPECT_EQ(zv::WithDefaultMode(land).creation, TableCreation::kNone);
}

TEST(IngestTargetOptions, ClearTargetDropsTheTargetAndTheModeOnly) {
  IngestSettings settings;
  for (const auto& [key, value] : {std::pair{"adbc.ingest.target_table", "t"},
                                   {"adbc.ingest.target_catalog", "c"},
                                   {"adbc.ingest.target_db_schema", "s"},
                                   {"zv.ingest.target_location", "l"},
                                   {"adbc.ingest.mode", "replace"},
                                   {"zv.ingest.payload_format", "parquet"}}) {
    ASSERT_TRUE(ApplyIngestOption(settings, key, value).ok()) << key;
  }
  settings.ClearTarget();
  EXPECT_FALSE(settings.HasTarget());
  EXPECT_FALSE(settings.target_catalog || settings.target_db_schema);
  EXPECT_FALSE(settings.mode_chosen);
  EXPECT_EQ(settings.creation, zv::TableCreation::kNone);
  EXPECT_EQ(settings.payload_format, PayloadFormat::kParquet);
}

TEST(IngestTargetOptions, CatalogAndSchemaAreCopiedAndClearedByNull) {
  IngestSettings settings;
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_db_schema", "s 1").ok());
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_catalog", "c").ok());
  EXPECT_EQ(settings.target_db_schema, "s 1");
  EXPECT_EQ(settings.target_catalog, "c");
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_catalog", nullptr).ok());
  EXPECT_FALSE(settings.target_catalog.has_value());
}

TEST(IngestFlagOptions, EverySpellingOfABooleanIsHonoured) {
  struct Case {
    const char* key;
    const char* value;
    AdbcStatusCode code;
    bool coerce;  // starting from true
  } cases[] = {
      {"zv.ingest.coerce", "false", ADBC_STATUS_OK, false},
      {"zv.ingest.coerce", "0", ADBC_STATUS_OK, false},
      {"zv.ingest.coerce", "no", ADBC_STATUS_OK, false},
      {"zv.ingest.coerce", "OFF", ADBC_STATUS_OK, false},
      {"zv.ingest.coerce", "yes", ADBC_STATUS_OK, true},
      {"zv.ingest.coerce", nullptr, ADBC_STATUS_OK, true},
      {"zv.ingest.coerce", "maybe", ADBC_STATUS_INVALID_ARGUMENT, true},
      {"adbc.ingest.temporary", "false", ADBC_STATUS_OK, true},
      {"adbc.ingest.temporary", nullptr, ADBC_STATUS_OK, true},
      {"adbc.ingest.temporary", "true", ADBC_STATUS_NOT_IMPLEMENTED, true},
      {"adbc.ingest.temporary", "1", ADBC_STATUS_NOT_IMPLEMENTED, true},
      {"adbc.ingest.temporary", "TRUE", ADBC_STATUS_NOT_IMPLEMENTED, true},
      {"adbc.ingest.temporary", "perhaps", ADBC_STATUS_INVALID_ARGUMENT, true},
  };
  for (const auto& c : cases) {
    IngestSettings settings;
    const std::string label = std::string(c.key) + "=" + (c.value ? c.value : "(null)");
    EXPECT_EQ(CodeOf(ApplyIngestOption(settings, c.key, c.value)), c.code) << label;
    EXPECT_EQ(settings.coerce, c.coerce) << label;
  }
}

TEST(IngestTextOptions, CopiesAreReplacedAndNullClears) {
  IngestSettings settings;
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_table", "sales").ok());
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_table", "orders").ok());
  EXPECT_EQ(settings.target_table, "orders");
  EXPECT_TRUE(settings.HasTarget());
  ASSERT_TRUE(ApplyIngestOption(settings, "adbc.ingest.target_table", nullptr).ok());
  EXPECT_FALSE(settings.HasTarget());
  ASSERT_TRUE(ApplyIngestOption(settings, "zv.ingest.target_location", "s3://x/").ok());
  EXPECT_TRUE(settings.HasTarget());
  ASSERT_TRUE(ApplyIngestOption(settings, "zv.ingest.payload_format", "parquet").ok());
  EXPECT_EQ(CodeOf(ApplyIngestOption(settings, "zv.ingest.payload_format", "PARQUET")),
            ADBC_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(settings.payload_format, PayloadFormat::kParquet);
}

TEST(IngestTextOptions, UnknownKeysAreRefusedInEveryState) {
  zv::testing::ScopedError error;
  AdbcStatement never_allocated{};
  EXPECT_EQ(
      zv::StatementSetOption(&never_allocated, "adbc.ingest.no_such_option", "x", error.get()),
      ADBC_STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(error.sqlstate(), "HYC00");
  EXPECT_EQ(error.message(), "AdbcStatementSetOption: unknown key: adbc.ingest.no_such_option");
}

TEST(KeyColumns, PiecesAreTrimmedAndEmptyOnesDropped) {
  struct Case {
    const char* value;
    std::vector<std::string> expected;
  } cases[] = {
      {" id ,\tregion\r\n,, day ,", {"id", "region", "day"}},
      {"", {}},
      {nullptr, {}},
      {" , ,", {}},
      {"a b", {"a b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zv::SplitKeyColumns(c.value), c.expected) << (c.value ? c.value : "(null)");
  }
}

}  // namespace
