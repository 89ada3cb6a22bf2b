#pragma once

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// The Arrow type compute serves a column of catalog type `data_type` with
// (ASCII case ignored), with a decimal's precision and scale from its
// parameters, or else from the snapshot's numeric_precision and numeric_scale
// (negative when unknown). Null when the snapshot cannot tell: a time zone,
// parameters it does not carry, or a type whose result form only compute knows.
std::shared_ptr<arrow::DataType> ArrowTypeForCatalogType(std::string_view data_type,
                                                         int64_t precision = -1,
                                                         int64_t scale = -1);

// A table's name as the snapshot spells it; an empty catalog or schema is
// one the snapshot does not carry.
struct CatalogTableName {
  std::string catalog;
  std::string schema;
  std::string name;
};

// One column of a table, from its information_schema.columns row.
struct CatalogColumn {
  int64_t ordinal = -1;
  std::string name;
  std::string data_type;
  bool nullable = true;
  int64_t precision = -1;  // -1: unknown
  int64_t scale = -1;
};

struct CatalogTable {
  CatalogTableName name;
  std::vector<CatalogColumn> columns;  // by ordinal position
};

// What the snapshot says about one table's schema.
struct CatalogTableSchema {
  std::optional<CatalogTable> table;  // the one table the request names, when the snapshot knows it
  std::shared_ptr<arrow::Schema> schema;  // set when the snapshot determines the schema completely
  std::string reason;                     // otherwise: why compute has to be asked
};

// The table `table_name` names in an information_schema.columns batch, and
// the schema that `SELECT * FROM` it `LIMIT 0` returns, with each field's
// nullability from is_nullable. `catalog` and `db_schema` filter when
// non-empty; names compare ASCII case-insensitively, and among several
// tables that match so, the one whose names match exactly is taken. A name
// that matches several tables still, a batch without the needed columns or
// without a row for the table leave `table` empty; a type the snapshot
// cannot pin down leaves the schema to compute (reason set either way).
CatalogTableSchema SchemaFromCatalogColumns(const arrow::RecordBatch& columns, const char* catalog,
                                            const char* db_schema, const char* table_name);

// The schema compute gave for `table`, with each top-level field's
// nullability as the catalog states it. Compute's schema as it is when its
// fields are not the table's columns (a catalog older than the table).
std::shared_ptr<arrow::Schema> WithCatalogNullability(
    const std::shared_ptr<arrow::Schema>& from_compute, const CatalogTable& table);

}  // namespace zv
