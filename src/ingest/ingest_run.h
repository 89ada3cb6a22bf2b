// A whole bulk load: the bound stream is read, encoded and uploaded.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <memory>

#include "util/owned_arrow_stream.h"
#include "ingest/ingest_options.h"

namespace zv {

struct zv_conn;
class CancelScope;

// Takes the bound stream over (the slot is empty afterwards whatever the
// outcome) and loads it under `settings`. On success *rows_affected (when
// given) is the rows inserted, updated and deleted. With a scope (the
// statement's), its Cancel stops the load before its next batch and the
// scope reports the rows sent.
arrow::Status RunIngest(const std::shared_ptr<zv_conn>& conn, const IngestSettings& settings,
                        OwnedArrowStream& bound, int64_t* rows_affected,
                        const std::shared_ptr<CancelScope>& scope = nullptr);

}  // namespace zv
