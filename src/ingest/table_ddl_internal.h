// The SQL the driver sends to create a table for bound Arrow data, and the
// Arrow-to-SQL type mapping behind it (documented in the README).
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include <string>

#include "ingest/column_type.h"
#include "ingest/table_name_internal.h"

namespace zv {

// Refuses, before anything is sent, data a table cannot take: no columns, a
// column without a name, two columns whose names differ only in case (the
// service folds case), or a type without a SQL mapping. Messages name the
// column and its Arrow type.
arrow::Status CheckLoadableSchema(const arrow::Schema& schema);

// The Parquet payload cannot carry every Arrow type (intervals, for one):
// refused before anything is sent, naming the column and its type.
arrow::Status CheckParquetEncodable(const arrow::Schema& schema);

// Zoned timestamps and times are stored to the microsecond: a nanosecond
// value that is not a whole microsecond would be truncated, so the batch is
// refused (22018, naming the column) instead.
arrow::Status CheckMicrosecondValues(const arrow::RecordBatch& batch);

// Appending to an existing table needs every bound column to be one of the
// table's (names compared case-insensitively, as the service folds case);
// the table may have more. A mismatch is refused as ALREADY_EXISTS (the
// table exists, but not as the data needs it), naming the column, before a
// row is sent.
arrow::Status CheckAppendTarget(const arrow::Schema& data, const arrow::Schema& target,
                                const std::string& table_name);

// CREATE TABLE <name> (<quoted column> <type> [NOT NULL], ...); non-nullable
// Arrow fields become NOT NULL columns.
arrow::Result<std::string> CreateTableSql(const TableName& name, const arrow::Schema& schema);

}  // namespace zv
