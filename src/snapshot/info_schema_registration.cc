#include "snapshot/info_schema_registration.h"

#include <chrono>
#include <initializer_list>
#include <string_view>
#include <vector>

#include <arrow/type.h>

#include "diagnostics/log.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

struct EmptyStub {
  const char* relation;
  std::initializer_list<const char*> columns;  // all text unless listed below
  std::initializer_list<const char*> int32_columns;
};

const EmptyStub kEmptyStubs[] = {
    {"information_schema.routines",
     {"specific_catalog", "specific_schema", "specific_name", "routine_catalog", "routine_schema",
      "routine_name", "routine_type", "data_type", "type_udt_catalog", "type_udt_schema",
      "type_udt_name", "routine_body", "routine_definition", "external_name", "external_language",
      "is_deterministic", "sql_data_access", "is_null_call", "security_type"},
     {}},
    {"information_schema.parameters",
     {"specific_catalog", "specific_schema", "specific_name", "ordinal_position", "parameter_mode",
      "parameter_name", "data_type", "character_maximum_length", "numeric_precision",
      "numeric_scale"},
     {"ordinal_position", "character_maximum_length", "numeric_precision", "numeric_scale"}},
    {"information_schema.table_privileges",
     {"grantor", "grantee", "table_catalog", "table_schema", "table_name", "privilege_type",
      "is_grantable", "with_hierarchy"},
     {}},
    {"information_schema.column_privileges",
     {"grantor", "grantee", "table_catalog", "table_schema", "table_name", "column_name",
      "privilege_type", "is_grantable"},
     {}},
    {"information_schema.usage_privileges",
     {"grantor", "grantee", "object_catalog", "object_schema", "object_name", "object_type",
      "privilege_type", "is_grantable"},
     {}},
    {"information_schema.triggers",
     {"trigger_catalog", "trigger_schema", "trigger_name", "event_manipulation",
      "event_object_catalog", "event_object_schema", "event_object_table", "action_order",
      "action_condition", "action_statement", "action_orientation", "action_timing",
      "action_reference_old_table", "action_reference_new_table", "action_reference_old_row",
      "action_reference_new_row", "created"},
     {"action_order"}},
    {"information_schema.sequences",
     {"sequence_catalog", "sequence_schema", "sequence_name", "data_type", "numeric_precision",
      "numeric_precision_radix", "numeric_scale", "start_value", "minimum_value", "maximum_value",
      "increment", "cycle_option"},
     {"numeric_precision", "numeric_precision_radix", "numeric_scale"}},
    {"information_schema.domains",
     {"domain_catalog", "domain_schema", "domain_name", "data_type", "character_maximum_length",
      "numeric_precision", "numeric_scale", "domain_default"},
     {"character_maximum_length", "numeric_precision", "numeric_scale"}},
    {"information_schema.check_constraints",
     {"constraint_catalog", "constraint_schema", "constraint_name", "check_clause"},
     {}},
};

std::shared_ptr<arrow::Schema> StubSchema(const EmptyStub& stub) {
  arrow::FieldVector fields;
  for (const char* name : stub.columns) {
    bool is_int32 = false;
    for (const char* int_name : stub.int32_columns) {
      is_int32 = is_int32 || std::string_view(name) == int_name;
    }
    fields.push_back(arrow::field(name, is_int32 ? arrow::int32() : arrow::utf8(),
                                  /*nullable=*/true));
  }
  return arrow::schema(std::move(fields));
}

// Built once per process: every connection registers the same stubs, and a
// schema is immutable, so they share it.
const std::vector<std::shared_ptr<arrow::Schema>>& StubSchemas() {
  static NoDestructor<std::vector<std::shared_ptr<arrow::Schema>>> schemas([] {
    std::vector<std::shared_ptr<arrow::Schema>> built;
    for (const EmptyStub& stub : kEmptyStubs) built.push_back(StubSchema(stub));
    return built;
  }());
  return *schemas;
}

}  // namespace

void zv_register_info_schema(const ZVSnapshotStore* store, zv_sql::RelationRegistry* registry) {
  if (store == nullptr || registry == nullptr) return;
  const auto started = std::chrono::steady_clock::now();

  int baselines = 0;
  const ZVSnapshotStore::Contents contents = store->Read();
  for (int slot = 0; slot < kSnapshotSlotCount; ++slot) {
    const std::shared_ptr<arrow::RecordBatch>& batch = contents.slots[slot];
    if (batch == nullptr) {
      ZV_LOG(kLogDebug, "meta_engine", "snapshot slot %d (%s) empty; skipping registration", slot,
             kSnapshotRelationNames[slot]);
      // A reload that lost the slot must not leave the earlier snapshot's rows
      // answering: the relation keeps its columns, and its rows go to compute.
      if (const zv_sql::CachedRelation* earlier = registry->find(kSnapshotRelationNames[slot])) {
        registry->register_schema_only(kSnapshotRelationNames[slot], earlier->schema);
      }
      continue;
    }
    registry->register_relation(kSnapshotRelationNames[slot], batch->schema(), {batch});
    ++baselines;
  }

  int stubs = 0;
  const std::vector<std::shared_ptr<arrow::Schema>>& schemas = StubSchemas();
  for (size_t i = 0; i < schemas.size(); ++i) {
    // The service does not deliver these relations, so an empty stub says
    // nothing about their rows: statements reading them go to compute.
    registry->register_schema_only(kEmptyStubs[i].relation, schemas[i]);
    ++stubs;
  }

  const long long elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
  ZV_LOG(kLogInfo, "meta_engine",
         "registered %d/%d information_schema baselines + %d empty stubs in %lld ms", baselines,
         kSnapshotSlotCount, stubs, elapsed_ms);
}

}  // namespace zv
