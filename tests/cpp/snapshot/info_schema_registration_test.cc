#include "snapshot/info_schema_registration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <arrow/type.h>

#include "diagnostics/log.h"
#include "stream/ipc_test_streams.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Registers `store` and returns the log lines it wrote at DEBUG.
std::string Register(const zv::ZVSnapshotStore& store, zv_sql::RelationRegistry* registry) {
  const std::string path =
      ::testing::TempDir() + "zv_register_" + std::to_string(::getpid()) + ".log";
  zv::zv_log_configure(path.c_str(), zv::kLogDebug);
  zv::zv_register_info_schema(&store, registry);
  zv::zv_log_configure(nullptr, zv::kLogOff);
  std::string log = ReadFile(path);
  std::remove(path.c_str());
  return log;
}

TEST(InfoSchemaRegistration, StubsHaveTheirColumnsAndNoRows) {
  zv::ZVSnapshotStore store;
  zv_sql::RelationRegistry registry;
  Register(store, &registry);
  struct Stub {
    const char* name;
    int columns;
    const char* int32_column;  // one that must be int32, or null
  } stubs[] = {
      {"information_schema.routines", 19, nullptr},
      {"information_schema.parameters", 10, "ordinal_position"},
      {"information_schema.table_privileges", 8, nullptr},
      {"information_schema.column_privileges", 8, nullptr},
      {"information_schema.usage_privileges", 8, nullptr},
      {"information_schema.triggers", 17, "action_order"},
      {"information_schema.sequences", 12, "numeric_precision_radix"},
      {"information_schema.domains", 8, "character_maximum_length"},
      {"information_schema.check_constraints", 4, nullptr},
  };
  EXPECT_EQ(registry.size(), 9u);
  for (const Stub& stub : stubs) {
    SCOPED_TRACE(stub.name);
    const zv_sql::CachedRelation* relation = registry.find(stub.name);
    ASSERT_NE(relation, nullptr);
    EXPECT_EQ(relation->schema->num_fields(), stub.columns);
    // Known by their columns only: their rows are not in the snapshot.
    EXPECT_FALSE(relation->rows_known);
    EXPECT_TRUE(relation->batches.empty());
    int int32_columns = 0;
    for (const auto& field : relation->schema->fields()) {
      EXPECT_TRUE(field->nullable()) << field->name();
      EXPECT_TRUE(field->type()->id() == arrow::Type::STRING ||
                  field->type()->id() == arrow::Type::INT32)
          << field->name();
      int32_columns += field->type()->id() == arrow::Type::INT32;
    }
    if (stub.int32_column != nullptr) {
      auto field = relation->schema->GetFieldByName(stub.int32_column);
      ASSERT_NE(field, nullptr);
      EXPECT_EQ(field->type()->id(), arrow::Type::INT32);
    } else {
      EXPECT_EQ(int32_columns, 0);
    }
  }
  EXPECT_EQ(registry.find("information_schema.parameters")->schema->field(3)->name(),
            "ordinal_position");
}

TEST(InfoSchemaRegistration, FullSnapshotRegistersEverySlotUnderItsName) {
  zv::SnapshotSlots slots;
  for (int i = 0; i < zv::kSnapshotSlotCount; ++i) slots[i] = zv_test::SampleBatch(i + 1);
  zv::ZVSnapshotStore store;
  store.Install(slots, 4);
  zv_sql::RelationRegistry registry;
  const std::string log = Register(store, &registry);
  EXPECT_EQ(registry.size(), 18u);
  for (int slot = 0; slot < zv::kSnapshotSlotCount; ++slot) {
    const zv_sql::CachedRelation* relation = registry.find(zv::kSnapshotRelationNames[slot]);
    ASSERT_NE(relation, nullptr) << slot;
    ASSERT_EQ(relation->batches.size(), 1u);
    EXPECT_EQ(relation->batches[0], slots[slot]) << "the slot's own batch, not a copy";
    EXPECT_TRUE(relation->schema->Equals(*slots[slot]->schema()));
  }
  EXPECT_NE(log.find("registered 9/9 information_schema baselines + 9 empty stubs in "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("skipping registration"), std::string::npos);
}

TEST(InfoSchemaRegistration, AReloadWithoutASlotLeavesNoRowsOfTheEarlierOne) {
  zv::SnapshotSlots slots;
  for (int i = 0; i < zv::kSnapshotSlotCount; ++i) slots[i] = zv_test::SampleBatch(i + 1);
  zv::ZVSnapshotStore store;
  store.Install(slots, 4);
  zv_sql::RelationRegistry registry;
  Register(store, &registry);
  slots[0] = nullptr;
  store.Install(slots, 5);
  Register(store, &registry);
  const zv_sql::CachedRelation* lost = registry.find(zv::kSnapshotRelationNames[0]);
  ASSERT_NE(lost, nullptr);
  EXPECT_FALSE(lost->rows_known) << "the earlier rows would answer where compute must";
  EXPECT_TRUE(registry.find(zv::kSnapshotRelationNames[1])->rows_known);
}

TEST(InfoSchemaRegistration, MissingStoreOrRegistryDoesNothing) {
  zv::ZVSnapshotStore store;
  zv_sql::RelationRegistry registry;
  zv::zv_register_info_schema(nullptr, &registry);
  zv::zv_register_info_schema(&store, nullptr);
  EXPECT_EQ(registry.size(), 0u);
}

}  // namespace
