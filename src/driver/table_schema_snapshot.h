#pragma once

#include <arrow/record_batch.h>
#include <arrow/type_fwd.h>

#include <memory>
#include <string_view>

namespace zv {

// The Arrow type a table column is served with, from its catalog data_type
// text (ASCII case ignored). Parameterised and unknown types are text.
std::shared_ptr<arrow::DataType> ArrowTypeForCatalogType(std::string_view data_type);

// The schema of `table_name` (catalog and db_schema filter when non-empty;
// names compared ASCII case-insensitively) built from an
// information_schema.columns batch, fields ordered by ordinal position. Null
// when the batch lacks the needed columns or has no row for the table.
std::shared_ptr<arrow::Schema> SchemaFromCatalogColumns(const arrow::RecordBatch& columns,
                                                        const char* catalog,
                                                        const char* db_schema,
                                                        const char* table_name);

}  // namespace zv
