// Joins, run as Acero hash-join plans, and the binding of column references
// to the joined columns.
//
// Every column of a joined batch carries a unique internal name; the relation
// it came from and its own name are kept beside the batch, so that qualified
// references reach the right side's column and unqualified ones shared by
// both sides are reported as ambiguous instead of silently taking the left.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/relation_registry.h"
#include "metadata_engine/statement_model.h"
#include "metadata_engine/subquery_internal.h"

namespace zv_sql::internal {

struct BoundColumn {
  std::string binding;  // lower-cased alias, or relation name without alias
  std::string name;     // the column's own name
  bool hidden = false;  // the right copy of a USING/NATURAL key: qualified access only
};

struct BoundBatch {
  std::shared_ptr<arrow::RecordBatch> batch;  // fields carry unique internal names
  std::vector<BoundColumn> columns;           // one per field of `batch`
  bool merged_keys = false;                   // some join below used USING or NATURAL
};

// Materialises a join tree; derived tables and VALUES lists among its inputs
// run through `runner`. Joins whose SQL answer a hash join plus a filter
// cannot give (outer joins with extra ON conditions or without equality
// keys, USING/NATURAL right and full joins) decline.
arrow::Result<BoundBatch> materialize_join(const RelationRegistry& registry, JoinClause& join,
                                           std::string* error, const SubqueryRunner& runner);

// Rewrites the statement's column references (select list, WHERE, GROUP BY)
// to the internal names of `bound`, naming each select item as the user wrote
// it, and expands stars into the columns they stand for.
arrow::Status bind_statement(SelectStatement& statement, const BoundBatch& bound,
                             std::string* error);

}  // namespace zv_sql::internal
