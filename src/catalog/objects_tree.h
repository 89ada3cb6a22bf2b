#pragma once

#include <arrow/record_batch.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv {

// One row of information_schema.columns, as GetObjects reports it.
struct ColumnRecord {
  int64_t ordinal = -1;  // -1: unknown
  std::string name;
  std::string data_type;
  bool nullable = true;
  std::optional<std::string> default_value;
  std::optional<std::string> description;
  std::optional<int64_t> character_maximum_length;
  std::optional<int64_t> character_octet_length;
  std::optional<int64_t> numeric_precision;
  std::optional<int64_t> numeric_precision_radix;
  std::optional<int64_t> numeric_scale;
  bool is_identity = false;
  bool is_generated = false;
};

// A column referenced by a foreign key.
struct ForeignKeyUsage {
  std::string catalog;
  std::string schema;
  std::string table;
  std::string column;
};

struct ConstraintRecord {
  std::string name;
  std::string type;
  std::vector<std::string> column_names;  // in key ordinal order
  // Foreign keys only: the referenced column of each key column, in key
  // order. Absent when the key is not a foreign key or its target cannot be
  // resolved unambiguously from the snapshot.
  std::optional<std::vector<ForeignKeyUsage>> usage;
};

struct TableNode {
  std::string catalog;
  std::string schema;
  std::string name;
  std::string type;  // normalised
  std::vector<ColumnRecord> columns;
  std::vector<ConstraintRecord> constraints;
};

struct SchemaNode {
  std::string name;
  std::vector<TableNode> tables;
};

struct CatalogNode {
  std::string name;
  std::vector<SchemaNode> schemas;
};

// How deep the result nests, from ADBC's depth argument: 0 is everything, 1
// catalogs, 2 schemas, 3 tables; negative depths nest like 1 and depths above
// 3 like 3.
enum class ObjectsDepth { kAll, kCatalogs, kSchemas, kTables };
ObjectsDepth ClassifyDepth(int depth);

// The snapshot relations GetObjects reads; any of them may be null.
struct ObjectsSources {
  std::shared_ptr<arrow::RecordBatch> catalogs;
  std::shared_ptr<arrow::RecordBatch> schemata;
  std::shared_ptr<arrow::RecordBatch> tables;
  std::shared_ptr<arrow::RecordBatch> columns;
  std::shared_ptr<arrow::RecordBatch> key_column_usage;
  std::shared_ptr<arrow::RecordBatch> table_constraints;
  std::shared_ptr<arrow::RecordBatch> referential_constraints;
};

// The host's filters; null or empty patterns match everything, and null or
// empty table_types accepts every type.
struct ObjectsFilter {
  int depth = 0;
  const char* catalog = nullptr;
  const char* db_schema = nullptr;
  const char* table_name = nullptr;
  const char* const* table_types = nullptr;
  const char* column_name = nullptr;
};

// Catalogs and schemas in order of first appearance; tables in the order of
// the tables relation. Catalogs and schemas holding at least one table that
// passes the filters appear; at the catalog and schema depths, when no table
// name or type filter is given, so do those the catalogs and schemata
// relations list without any table (after the others). Columns and constraints are filled for
// depth 0 only: at the table depth both lists are null. Nothing at all (as opposed to no
// catalogs) when the tables relation is missing, has no rows, or lacks one
// of its key columns.
std::optional<std::vector<CatalogNode>> CollectObjects(const ObjectsSources& sources,
                                                       const ObjectsFilter& filter);

}  // namespace zv
