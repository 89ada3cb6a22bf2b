#pragma once

#include <arrow/result.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "util/secret_string.h"
#include "transport/connection_share_internal.h"
#include "transport/http_client.h"
#include "transport/routing_internal.h"
#include "transport/session_token_internal.h"
#include "transport/tls_config.h"

namespace zv {

// One authenticated session with the service: which control plane, which
// compute node, which token, and how to reach both. Written only while
// connecting, except the token, which a refresh may replace (it has its own
// lock); the rest is read concurrently without a lock by query and ingest
// workers, each of which holds a reference so the record (and the share's
// lock) outlives any transfer still running.
struct zv_conn {
  std::string control_plane_url;
  std::string compute_url;
  std::string compute_node;  // entity reference; empty for an explicit URL
  GuardedToken session_token;
  TokenSource token_source = TokenSource::kGiven;
  // Serialises refreshes, so that requests refused together log in once.
  std::mutex refresh_mu;
  // Guards `login` after connecting; held only to copy or wipe the password,
  // never across a request, so a release never waits for a login in flight.
  std::mutex login_mu;
  LoginCredentials login;
  std::string subject_id;  // empty when a token was given or reused
  // Who authenticated, as a cache key part: a digest of the session token
  // when one was given, else the user name with a digest of the password.
  // Empty when nothing may be cached for the connection.
  std::string auth_identity;
  zv_tls_config tls;
  zv_conn_options options;  // accepted options only (see ConnectOptions)
  std::string user_agent;
  SecretString reservation_id;
  bool reservation_confirmed = false;
  std::shared_ptr<ConnectionShare> share;
  // Set when the owning connection handle is released; transfers still
  // running on this record then stop with a clear error.
  std::atomic<bool> released{false};

  const ConnectionShare* share_handle() const { return share.get(); }
  // The URL queries go to.
  const std::string& query_url() const {
    return compute_url.empty() ? control_plane_url : compute_url;
  }
  // `token` is a copy of session_token that the caller keeps alive.
  ControlPlaneCall control_plane_call(const SecretString& token) const {
    return {control_plane_url.c_str(), token.c_str(), &tls, &options, share_handle()};
  }
};

// Everything zv_connect needs; null or empty texts mean "not given".
struct ConnectRequest {
  const char* control_plane_url = nullptr;
  const char* compute_url = nullptr;
  const char* compute_node = nullptr;
  const char* session_token = nullptr;
  const char* username = nullptr;
  const char* password = nullptr;
  const zv_tls_config* tls = nullptr;        // null: Optional, verify, any version
  const zv_conn_options* options = nullptr;  // null: defaults
  // The pool of TCP connections, DNS results and TLS sessions to use; null:
  // one of the connection's own. Connections that share one reuse each
  // other's kept-alive connections (libcurl reuses only a connection whose
  // host, proxy and TLS settings match the request's).
  std::shared_ptr<ConnectionShare> share;
};

// Authenticates (given token, cached token or fresh login), routes to a
// compute node (explicit URL, pinned node or recommendation) and confirms the
// reservation. The failure message is the innermost one.
arrow::Result<std::shared_ptr<zv_conn>> zv_connect(const ConnectRequest& request);

// After the service refused `refused` (HTTP 401) on a request that exchanged
// none of the host's data or of the result yet: drops the token from the
// cache, logs in once more and installs the new token, so the caller can try
// its request once again. OK at once when another request already replaced
// the refused token. A token the host gave cannot be renewed: the error then
// says it was refused, with `refusal` (the failed request's message) after it.
arrow::Status zv_refresh_session_token(zv_conn* conn, const SecretString& refused,
                                       const std::string& refusal);

// Abandons an unconfirmed reservation and drops the caller's reference; the
// record's secrets are zeroed when the last reference goes.
void zv_disconnect(std::shared_ptr<zv_conn> conn);

}  // namespace zv
