#include "snapshot/catalog_version_internal.h"

#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "diagnostics/log.h"
#include "transport/http_client.h"
#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr std::pair<const char*, uint64_t ZVCatalogVersion::*> kCounters[] = {
    {"sequence", &ZVCatalogVersion::sequence},
    {"tables_version", &ZVCatalogVersion::tables_version},
    {"views_version", &ZVCatalogVersion::views_version},
    {"schemas_version", &ZVCatalogVersion::schemas_version},
    {"permissions_version", &ZVCatalogVersion::permissions_version},
    {"graphs_version", &ZVCatalogVersion::graphs_version},
    {"connections_version", &ZVCatalogVersion::connections_version},
    {"pipelines_version", &ZVCatalogVersion::pipelines_version},
};

uint64_t CounterValue(const nlohmann::json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end()) return 0;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer()) return static_cast<uint64_t>(it->get<int64_t>());
  return 0;
}

arrow::Status Failure(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kEpochErrorBuffer));
}

}  // namespace

arrow::Result<ZVCatalogVersion> parse_catalog_version_response(const char* body, size_t length) {
  if (body == nullptr) return Failure("parse_catalog_version_response: NULL argument");
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(body, body + length);
  } catch (const nlohmann::json::exception& e) {
    ZV_LOG(kLogError, "route", "/api/v1/events/version parse error: %s", e.what());
    return Failure(Format("/api/v1/events/version response parse error: %s", e.what()));
  }
  if (!json.is_object()) return Failure("/api/v1/events/version response is not a JSON object");
  ZVCatalogVersion version;
  for (const auto& [name, member] : kCounters) version.*member = CounterValue(json, name);
  return version;
}

arrow::Result<ZVCatalogVersion> zv_route_fetch_epoch(const char* control_plane_url,
                                                     const char* session_token,
                                                     const zv_tls_config* tls,
                                                     const zv_conn_options* options,
                                                     const std::atomic<bool>* cancel) {
  if (control_plane_url == nullptr) return Failure("zv_route_fetch_epoch: NULL argument");
  const std::string url =
      std::string(StripTrailingSlashes(control_plane_url)) + "/api/v1/events/version";
  std::string body;
  HttpJsonRequest request = HttpJsonRequest::Get(url, tls, options, /*share=*/nullptr);
  request.bearer_token = session_token;
  request.cancel = cancel;
  arrow::Result<long> status = zv_http_json(request, &body);
  if (!status.ok()) {
    // The transport's failure keeps its kind and SQLSTATE; only the text is bounded.
    return status.status().WithMessage(Bounded(status.status().message(), kEpochErrorBuffer));
  }
  if (*status < 200 || *status > 299) {
    return WithHttpStatus(Failure(HttpErrorMessage("catalog version fetch", *status, body)),
                          *status);
  }
  return parse_catalog_version_response(body.data(), body.size());
}

}  // namespace zv
