#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <optional>
#include <string>
#include <string_view>

#include "transport/http_client.h"
#include "transport/tls_config.h"

namespace zv {

// Where a connection's SQL and ingest traffic goes.
struct zv_route {
  std::string compute_url;  // no trailing slash, no path
  std::optional<std::string> node_id;
  std::optional<std::string> node_entity_ref;
  std::optional<std::string> reservation_id;  // only from a recommendation
};

// The control-plane endpoints a route request needs besides its arguments.
struct ControlPlaneCall {
  const char* control_plane_url;
  const char* token;
  const zv_tls_config* tls;
  const zv_conn_options* options;
  const ConnectionShare* share;
};

// Asks the control plane to recommend (and reserve) a node for query work.
arrow::Result<zv_route> zv_route_recommend(const ControlPlaneCall& call, const char* subject_id);

// Resolves a node pinned by its entity reference; it must be active.
arrow::Result<zv_route> zv_route_lookup_by_entity_ref(const ControlPlaneCall& call,
                                                      const char* entity_ref);

// A route to a compute URL given outright (no request is made).
arrow::Result<zv_route> zv_route_from_explicit_url(const char* compute_url);

// Confirms or abandons a reservation; failures are only reported as a
// non-OK status for the caller to log.
arrow::Status zv_route_confirm(const ControlPlaneCall& call, const char* reservation_id);
arrow::Status zv_route_abandon(const ControlPlaneCall& call, const char* reservation_id);

// "https://" when the control plane speaks https, else "http://", then
// host:port: compute nodes speak the control plane's scheme.
std::string ComputeUrlFor(const char* control_plane_url, const std::string& host, long port);

// The port a node announced, when it is a TCP port (1 to 65535); fractions
// are cut.
std::optional<long> PortInRange(double port);

// True for a DNS name, an IPv4 address or a bracketed IPv6 literal: nothing a
// node announces may add user information, a path or a second port to the
// compute URL built from it.
bool IsPlainHost(std::string_view host);

}  // namespace zv
