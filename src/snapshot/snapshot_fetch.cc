#include "snapshot/snapshot_fetch_internal.h"

#include <string>

#include "util/secret_string.h"
#include "snapshot/snapshot_stream_internal.h"
#include "stream/frame.h"
#include "transport/http_client.h"
#include "transport/http_request.h"
#include "transport/transport_connection.h"
#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

// The whole snapshot must arrive within this time, however slow the control
// plane builds it.
constexpr long kSnapshotTimeoutSec = 300;

arrow::Status Failure(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kSnapshotErrorBuffer));
}

// The transport's failure with its kind and SQLSTATE, the text bounded.
arrow::Status TransportFailure(const arrow::Status& status) {
  const arrow::Status described = WithTransferContext(status, "snapshot HTTP error: ");
  return described.WithMessage(Bounded(described.message(), kSnapshotErrorBuffer));
}

// Every chunk goes to the parser whatever the HTTP status, so an error body
// is read as frames too.
arrow::Result<HttpRequest> SnapshotRequest(const std::string& url, const char* session_token,
                                           const zv_tls_config* tls, const zv_conn_options* options,
                                           const ConnectionShare* share, ZVFrameParser* parser) {
  ARROW_ASSIGN_OR_RAISE(HttpRequest request, HttpRequest::Make(url));
  ARROW_RETURN_NOT_OK(request.AddHeader("Accept: application/vnd.zorvane.stream.v1"));
  if (session_token != nullptr) ARROW_RETURN_NOT_OK(request.AddBearerToken(session_token));
  request.SetTotalTimeout(WholeRequestTimeoutSec(options, kSnapshotTimeoutSec));
  request.SetConnection(options, share);
  request.SetReceiver([parser](long, std::string_view chunk) {
    return zv_frame_feed(parser, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()) == 0;
  });
  request.SetTls(tls);
  return request;
}

}  // namespace

arrow::Result<ZVSnapshot> zv_fetch_snapshot(const zv_conn* conn, HttpRequest::AbortCheck abort) {
  if (conn == nullptr) return Failure("zv_fetch_snapshot: NULL argument");
  const SecretString token = conn->session_token.Copy();
  return zv_route_fetch_info_schema_snapshot(
      conn->control_plane_url.c_str(), token.empty() ? nullptr : token.c_str(), &conn->tls,
      &conn->options, conn->share_handle(), std::move(abort));
}

arrow::Result<ZVSnapshot> zv_route_fetch_info_schema_snapshot(
    const char* control_plane_url, const char* session_token, const zv_tls_config* tls,
    const zv_conn_options* options, const ConnectionShare* share, HttpRequest::AbortCheck abort) {
  if (control_plane_url == nullptr) {
    return Failure("zv_route_fetch_info_schema_snapshot: NULL argument");
  }
  SnapshotStreamCollector collector;
  ZVFrameParserPtr parser = zv_frame_create(&SnapshotStreamCollector::OnFrame, &collector);
  if (!parser) return Failure("zv_frame_create failed");

  const std::string url =
      std::string(StripTrailingSlashes(control_plane_url)) + "/api/v1/odbc/info_schema/snapshot";
  auto request = SnapshotRequest(url, session_token, tls, options, share, parser.get());
  if (!request.ok()) return Failure(request.status().message());
  if (abort) request->SetAbortCheck(std::move(abort));
  auto status = request->Perform();
  if (!status.ok()) {
    // When the frame handler stopped the transfer, its reason is the one that
    // matters, not the transport's "write error".
    if (TransferErrorOf(status.status()) == TransferError::kReceiverStopped &&
        collector.handler_failed()) {
      return Failure(collector.error());
    }
    return TransportFailure(status.status());
  }
  if (*status < 200 || *status > 299) {
    return WithHttpStatus(Failure(Format("snapshot fetch returned HTTP %ld", *status)), *status);
  }
  ARROW_RETURN_NOT_OK(collector.Finish(zv_frame_pending(parser.get())));
  return std::move(collector.snapshot());
}

}  // namespace zv
