#include "transport/routing_internal.h"

#include <nlohmann/json.hpp>

#include "diagnostics/log.h"
#include "transport/curl_handles_internal.h"
#include "transport/url.h"
#include "util/format.h"
#include "util/json_members.h"

namespace zv {

namespace {

constexpr size_t kRouteErrorBuffer = 1024;
constexpr size_t kComputeUrlBuffer = 256;

arrow::Status RouteError(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kRouteErrorBuffer));
}

// A request to the control plane under the call's token and connection settings.
HttpJsonRequest ControlPlaneRequest(const ControlPlaneCall& call, std::string url) {
  HttpJsonRequest request =
      HttpJsonRequest::Get(std::move(url), call.tls, call.options, call.share);
  request.bearer_token = call.token;
  return request;
}

std::string BaseUrl(const char* control_plane_url) {
  return std::string(StripTrailingSlashes(control_plane_url));
}

// Escapes a path segment; an escape failure leaves an empty segment.
std::string EscapePathSegment(const char* text) {
  CurlEasy easy(curl_easy_init());
  if (!easy) return text;
  char* escaped = curl_easy_escape(easy.get(), text, 0);
  if (escaped == nullptr) return {};
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

arrow::Status ReservationCall(const ControlPlaneCall& call, const char* reservation_id,
                              const char* action, const zv_conn_options* options) {
  if (call.control_plane_url == nullptr || call.token == nullptr || reservation_id == nullptr) {
    return arrow::Status::Invalid("missing argument");
  }
  const std::string url = BaseUrl(call.control_plane_url) + "/api/v1/nodes/recommend/" +
                          EscapePathSegment(reservation_id) + "/" + action;
  HttpJsonRequest request = ControlPlaneRequest(call, url);
  request.options = options;
  request.post = true;
  request.body = "{}";
  std::string response;
  ARROW_ASSIGN_OR_RAISE(long status, zv_http_json(request, &response));
  if (status < 200 || status > 299) {
    return arrow::Status::IOError("HTTP ", status);
  }
  return arrow::Status::OK();
}

}  // namespace

std::string ComputeUrlFor(const char* control_plane_url, const std::string& host, long port) {
  // SplitUrl lower-cases the scheme: "HTTPS://cp" is an https control plane.
  const bool https = SplitUrl(control_plane_url ? control_plane_url : "").scheme == "https";
  return Bounded(Format("%s%s:%ld", https ? "https://" : "http://", host.c_str(), port),
                 kComputeUrlBuffer);
}

std::optional<long> PortInRange(double port) {
  if (!(port >= 1 && port < 65536)) return std::nullopt;  // also NaN
  return static_cast<long>(port);
}

bool IsPlainHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    return host.substr(1, host.size() - 2).find_first_not_of("0123456789abcdefABCDEF:.") ==
           std::string_view::npos;
  }
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

arrow::Result<zv_route> zv_route_recommend(const ControlPlaneCall& call, const char* subject_id) {
  if (call.control_plane_url == nullptr || call.token == nullptr) {
    return RouteError("zv_route_recommend: NULL argument");
  }
  nlohmann::json request = {{"purpose", "Query"},
                            {"requiredCaps", nlohmann::json::array({"sql_execution"})}};
  if (subject_id != nullptr && subject_id[0] != '\0') request["sessionId"] = subject_id;
  std::string body;
  try {
    body = request.dump();
  } catch (const nlohmann::json::exception& e) {
    return RouteError(Format("recommend request encoding error: %s", e.what()));
  }
  std::string response;
  HttpJsonRequest http =
      ControlPlaneRequest(call, BaseUrl(call.control_plane_url) + "/api/v1/nodes/recommend");
  http.post = true;
  http.body = body;
  ARROW_ASSIGN_OR_RAISE(long status, zv_http_json(http, &response));
  if (status < 200 || status > 299) {
    return WithHttpStatus(RouteError(HttpErrorMessage("compute node recommend", status, response)),
                          status);
  }
  zv_route route;
  try {
    nlohmann::json json = nlohmann::json::parse(response);
    if (!json.is_object() || !json.contains("hostname") || !json.contains("port")) {
      return RouteError("recommend response missing hostname/port");
    }
    const auto& port_value = json.at("port");
    if (!port_value.is_number() && !port_value.is_boolean()) {
      // Let the JSON library describe the type error, as for the host name.
      (void)port_value.get<double>();
    }
    const std::string host = json.at("hostname").get<std::string>();
    const double port_number =
        port_value.is_boolean() ? (port_value.get<bool>() ? 1 : 0) : port_value.get<double>();
    const std::optional<long> port = PortInRange(port_number);
    if (!port) {
      return RouteError(
          Format("recommend response port %s is outside 1 to 65535", port_value.dump().c_str()));
    }
    if (!IsPlainHost(host)) {
      return RouteError(
          Format("recommend response hostname '%s' is not a host name or address", host.c_str()));
    }
    route.compute_url = ComputeUrlFor(call.control_plane_url, host, *port);
    route.node_id = StringMember(json, "nodeId");
    route.node_entity_ref = StringMember(json, "nodeEntityRef");
    route.reservation_id = StringMember(json, "reservationId");
  } catch (const nlohmann::json::exception& e) {
    ZV_LOG(kLogError, "route", "Recommend response parse error: %s", e.what());
    return RouteError(Format("recommend response parse error: %s", e.what()));
  }
  ZV_LOG(kLogInfo, "route", "Recommended compute node %s at %s (reservation=%s)",
         route.node_entity_ref ? route.node_entity_ref->c_str() : "(unknown)",
         route.compute_url.c_str(),
         route.reservation_id ? route.reservation_id->c_str() : "(none)");
  return route;
}

namespace {

// The route to a looked-up node: it must be active and name a plain host and
// a port in range. Throws nlohmann::json::exception on a malformed body.
arrow::Result<zv_route> RouteToLookedUpNode(const ControlPlaneCall& call, const char* entity_ref,
                                            const std::string& response) {
  zv_route route;
  nlohmann::json json = nlohmann::json::parse(response);
  if (!json.is_object()) {
    return RouteError("lookup response parse error: response is not a JSON object");
  }
  const std::string node_status =
      json.contains("status") ? json.at("status").get<std::string>() : "unknown";
  if (node_status != "active") {
    return RouteError(
        Format("compute node '%s' is not active (status='%s')", entity_ref, node_status.c_str()));
  }
  std::string host;
  if (json.contains("ipAddress") && json.at("ipAddress").is_string()) {
    host = json.at("ipAddress").get<std::string>();
  } else if (json.contains("hostname") && json.at("hostname").is_string()) {
    host = json.at("hostname").get<std::string>();
  }
  if (host.empty()) {
    return RouteError(
        Format("compute node '%s' has neither ipAddress nor hostname set", entity_ref));
  }
  if (!json.contains("port") || !json.at("port").is_number_integer()) {
    return RouteError(Format("compute node '%s' has no port", entity_ref));
  }
  const int64_t port = json.at("port").get<int64_t>();
  if (!PortInRange(static_cast<double>(port))) {
    return RouteError(Format("compute node '%s' port %lld is outside 1 to 65535", entity_ref,
                             static_cast<long long>(port)));
  }
  if (!IsPlainHost(host)) {
    return RouteError(Format("compute node '%s' host '%s' is not a host name or address",
                             entity_ref, host.c_str()));
  }
  route.compute_url = ComputeUrlFor(call.control_plane_url, host, static_cast<long>(port));
  route.node_id = StringMember(json, "id");
  route.node_entity_ref = StringMember(json, "entityRef");
  return route;
}

}  // namespace

arrow::Result<zv_route> zv_route_lookup_by_entity_ref(const ControlPlaneCall& call,
                                                      const char* entity_ref) {
  if (call.control_plane_url == nullptr || call.token == nullptr || entity_ref == nullptr) {
    return RouteError("zv_route_lookup_by_entity_ref: NULL argument");
  }
  const std::string url = BaseUrl(call.control_plane_url) + "/api/v1/admin/compute-nodes/by-ref/" +
                          EscapePathSegment(entity_ref);
  std::string response;
  ARROW_ASSIGN_OR_RAISE(long status, zv_http_json(ControlPlaneRequest(call, url), &response));
  if (status == 404) {
    return RouteError(
        Format("compute node not found: ComputeNode='%s' is not registered", entity_ref));
  }
  if (status < 200 || status > 299) {
    return WithHttpStatus(RouteError(HttpErrorMessage("compute node lookup", status, response)),
                          status);
  }
  zv_route route;
  try {
    ARROW_ASSIGN_OR_RAISE(route, RouteToLookedUpNode(call, entity_ref, response));
  } catch (const nlohmann::json::exception& e) {
    ZV_LOG(kLogError, "route", "Lookup response parse error for %s: %s", entity_ref, e.what());
    return RouteError(Format("lookup response parse error: %s", e.what()));
  }
  ZV_LOG(kLogInfo, "route", "Pinned to compute node %s at %s", entity_ref,
         route.compute_url.c_str());
  return route;
}

arrow::Result<zv_route> zv_route_from_explicit_url(const char* compute_url) {
  if (compute_url == nullptr) return RouteError("zv_route_from_explicit_url: NULL argument");
  zv_route route;
  route.compute_url = std::string(StripTrailingSlashes(compute_url));
  return route;
}

arrow::Status zv_route_confirm(const ControlPlaneCall& call, const char* reservation_id) {
  return ReservationCall(call, reservation_id, "confirm", call.options);
}

arrow::Status zv_route_abandon(const ControlPlaneCall& call, const char* reservation_id) {
  // Abandonment takes the connection's options like every other control-plane
  // request: behind a proxy it would otherwise never reach the control plane.
  return ReservationCall(call, reservation_id, "abandon", call.options);
}

}  // namespace zv
