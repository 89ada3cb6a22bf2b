// Fetching the control plane's information_schema snapshot as raw per-slot
// Arrow IPC streams.
#pragma once

#include <arrow/result.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "snapshot/snapshot_slots_internal.h"
#include "transport/http_client.h"
#include "transport/http_request.h"
#include "transport/tls_config.h"

namespace zv {

struct zv_conn;

inline constexpr size_t kSnapshotErrorBuffer = 512;

// The undecoded snapshot: the INIT frame's epoch and, per slot, the data part
// of its BATCH frame (the bytes after the 8-byte batch header). A slot whose
// BATCH carried no data holds an empty buffer, which is not the same as a
// missing slot.
struct ZVSnapshot {
  uint64_t epoch = 0;
  std::array<std::optional<std::vector<uint8_t>>, kSnapshotSlotCount> buffers;
};

// Fetches the snapshot with the connection's control-plane URL, token, TLS
// policy, options and share. The caller owns the result. Messages fit 512
// bytes. The transfer stops once `abort` (when given) returns true.
arrow::Result<ZVSnapshot> zv_fetch_snapshot(const zv_conn* conn,
                                            HttpRequest::AbortCheck abort = {});

// The same from explicit settings; `session_token`, `tls`, `options` and
// `share` may be null. Succeeds only with an INIT frame and all nine slots;
// on failure nothing of the stream is kept.
arrow::Result<ZVSnapshot> zv_route_fetch_info_schema_snapshot(const char* control_plane_url,
                                                              const char* session_token,
                                                              const zv_tls_config* tls,
                                                              const zv_conn_options* options,
                                                              const ConnectionShare* share,
                                                              HttpRequest::AbortCheck abort = {});

}  // namespace zv
