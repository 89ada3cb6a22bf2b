// Finding the relations a statement names, before any data is read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <arrow/record_batch.h>
#include <arrow/result.h>

#include "metadata_engine/relation_registry.h"
#include "metadata_engine/statement_model.h"

namespace zv_sql::internal {

// Registry keys a reference may name, most qualified first: catalog.schema.name,
// schema.name, name (all lower case). None when the name is empty.
std::vector<std::string> candidate_keys(const RelationRef& ref);

// The registered relation `ref` names (its most qualified key first), or null.
const CachedRelation* resolve_relation(const RelationRegistry& registry, const RelationRef& ref);

// The first relation the FROM tree names that is not registered, as reported
// to the caller; nothing when every relation is available.
std::optional<std::string> find_missing_relation(const RelationRegistry& registry,
                                                 const FromItem* from);

// The same check for the subqueries inside an expression.
std::optional<std::string> find_missing_relation(const RelationRegistry& registry,
                                                 const Expr& expr);

// The relation as one batch: an empty batch of its schema when it has none,
// its single batch as is, or its batches combined.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> materialize_relation(
    const RelationRegistry& registry, const RelationRef& ref);

}  // namespace zv_sql::internal
