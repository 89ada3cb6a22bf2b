// The service's column type for an Arrow type: the mapping behind the
// README's ingest type table, shared with everything that writes SQL types.
#pragma once

#include <arrow/result.h>
#include <arrow/type_fwd.h>

#include <string>

namespace zv {

// The column type (BIGINT, TIMESTAMP_MS, VARCHAR[], STRUCT("a" INTEGER), ...),
// or a failure naming the type when the service cannot store it. Defined
// with the table DDL (table_ddl.cc).
arrow::Result<std::string> SqlTypeOf(const arrow::DataType& type);

}  // namespace zv
