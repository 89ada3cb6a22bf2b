#include "snapshot/snapshot_fetch.h"

#include <string>

#include "util/secret_string.h"
#include "snapshot/snapshot_stream_internal.h"
#include "stream/frame.h"
#include "transport/curl_handles.h"
#include "transport/redirect_policy.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

// The whole snapshot must arrive within this time, however slow the control
// plane builds it.
constexpr long kSnapshotTimeoutSec = 300;

// Every chunk goes to the parser whatever the HTTP status, so an error body
// is read as frames too; returning 0 aborts the transfer.
size_t FeedParser(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* parser = static_cast<ZVFrameParser*>(userdata);
  const size_t bytes = size * nmemb;
  if (zv_frame_feed(parser, reinterpret_cast<const uint8_t*>(data), bytes) != 0) return 0;
  return bytes;
}

arrow::Status Failure(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kSnapshotErrorBuffer));
}

}  // namespace

arrow::Result<ZVSnapshot> zv_fetch_snapshot(const zv_conn* conn) {
  if (conn == nullptr) return Failure("zv_fetch_snapshot: NULL argument");
  const SecretString token = conn->session_token.Copy();
  return zv_route_fetch_info_schema_snapshot(conn->control_plane_url.c_str(),
                                             token.empty() ? nullptr : token.c_str(), &conn->tls,
                                             &conn->options, conn->share_handle());
}

arrow::Result<ZVSnapshot> zv_route_fetch_info_schema_snapshot(const char* control_plane_url,
                                                              const char* session_token,
                                                              const zv_tls_config* tls,
                                                              const zv_conn_options* options,
                                                              CURLSH* share) {
  if (control_plane_url == nullptr) {
    return Failure("zv_route_fetch_info_schema_snapshot: NULL argument");
  }
  SnapshotStreamCollector collector;
  ZVFrameParserPtr parser = zv_frame_create(&SnapshotStreamCollector::OnFrame, &collector);
  if (!parser) return Failure("zv_frame_create failed");

  const std::string url = std::string(StripTrailingSlashes(control_plane_url)) +
                          "/api/v1/odbc/info_schema/snapshot";
  CurlEasy easy(curl_easy_init());
  if (!easy) return Failure("curl_easy_init failed");

  CurlSlist headers;
  AppendToSlist(headers, "Accept: application/vnd.zorvane.stream.v1");
  if (session_token != nullptr) AppendBearerHeader(headers, session_token);
  char error_buffer[CURL_ERROR_SIZE] = {};
  const std::string user_agent = UserAgent(options);

  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  RedirectGuard redirects;
  redirects.Install(h);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, WholeRequestTimeoutSec(options, kSnapshotTimeoutSec));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  ApplyConnectionSettings(h, options, share, user_agent);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &FeedParser);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(parser.get()));
  CurlSlist connect_to;
  if (tls != nullptr) {
    arrow::Status st = zv_tls_apply_to_curl(h, tls, url.c_str(), &connect_to);
    if (!st.ok()) return Failure(Format("TLS configuration: %s", st.message().c_str()));
  }

  const CURLcode rc = curl_easy_perform(h);
  if (redirects.refused()) return Failure(redirects.refusal());
  if (rc != CURLE_OK) {
    // When the frame handler stopped the transfer, its reason is the one that
    // matters, not libcurl's "write error".
    if (rc == CURLE_WRITE_ERROR && collector.handler_failed()) return Failure(collector.error());
    return Failure(Format("snapshot HTTP error: %s",
                          error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(rc)));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) {
    return Failure(Format("snapshot fetch returned HTTP %ld", status));
  }
  ARROW_RETURN_NOT_OK(collector.Finish(zv_frame_pending(parser.get())));
  return std::move(collector.snapshot());
}

}  // namespace zv
