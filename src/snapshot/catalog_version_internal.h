// The control plane's catalog version counters: a changed sequence means the
// catalog changed and cached snapshots are stale.
#pragma once

#include <atomic>

#include <arrow/result.h>

#include <cstddef>
#include <cstdint>

#include "transport/http_client.h"
#include "transport/tls_config.h"

namespace zv {

inline constexpr size_t kEpochErrorBuffer = 256;

struct ZVCatalogVersion {
  uint64_t sequence = 0;
  uint64_t tables_version = 0;
  uint64_t views_version = 0;
  uint64_t schemas_version = 0;
  uint64_t permissions_version = 0;
  uint64_t graphs_version = 0;
  uint64_t connections_version = 0;
  uint64_t pipelines_version = 0;
};

// Reads the counters from a version response. A member that is missing or not
// an integer reads as 0; only a body that is not a JSON object fails.
// Messages fit 256 bytes.
arrow::Result<ZVCatalogVersion> parse_catalog_version_response(const char* body, size_t length);

// GET <control plane>/api/v1/events/version with the bearer token, under the
// given TLS policy and options (either may be null for defaults). No share:
// the poller calls this from its own thread, outside any connection. The
// request is abandoned once `cancel` (when given) turns true.
arrow::Result<ZVCatalogVersion> zv_route_fetch_epoch(const char* control_plane_url,
                                                     const char* session_token,
                                                     const zv_tls_config* tls,
                                                     const zv_conn_options* options,
                                                     const std::atomic<bool>* cancel = nullptr);

}  // namespace zv
