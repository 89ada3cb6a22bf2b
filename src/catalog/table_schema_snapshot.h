#pragma once

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zv {

// The Arrow type compute serves a column of catalog type `data_type` with
// (ASCII case ignored), with a decimal's precision and scale from the
// snapshot's numeric_precision and numeric_scale (negative when unknown).
// Null when the snapshot cannot tell: a time zone, parameters it does not
// carry, or a type whose result form only compute knows.
std::shared_ptr<arrow::DataType> ArrowTypeForCatalogType(std::string_view data_type, int64_t precision = -1,
                                                         int64_t scale = -1);

// What the snapshot says about one table's schema.
struct CatalogTableSchema {
  std::shared_ptr<arrow::Schema> schema;  // set when the snapshot determines it completely
  std::string reason;                     // otherwise: why compute has to be asked
};

// The schema that `SELECT * FROM` the table `LIMIT 0` returns, built from an
// information_schema.columns batch: fields ordered by ordinal position, all
// nullable as in every result set. `catalog` and `db_schema` filter when
// non-empty; names compare ASCII case-insensitively. A name that matches
// several tables, a type the snapshot cannot pin down, a batch without the
// needed columns or without a row for the table all leave the answer to
// compute (reason set).
CatalogTableSchema SchemaFromCatalogColumns(const arrow::RecordBatch& columns, const char* catalog,
                                            const char* db_schema, const char* table_name);

}  // namespace zv
