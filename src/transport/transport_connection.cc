#include "transport/transport_connection.h"

#include "diagnostics/log.h"
#include "diagnostics/redact.h"
#include "transport/auth_internal.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kConnectErrorBuffer = 1024;

bool Given(const char* text) { return text != nullptr && text[0] != '\0'; }

// Copies one option text into the connection unless it could inject headers.
void AcceptOptionText(const std::string& value, const char* name, std::string* out) {
  if (value.empty()) return;
  if (HasForbiddenControlCharacters(value)) {
    ZV_LOG(kLogWarn, "transport", "%s contains forbidden control characters; ignored", name);
    return;
  }
  *out = value;
}

void AcceptOptions(const zv_conn_options* given, zv_conn_options* accepted) {
  if (given == nullptr) return;
  if (given->connect_timeout_sec > 0) accepted->connect_timeout_sec = given->connect_timeout_sec;
  if (given->max_stream_buffer_mb > 0) accepted->max_stream_buffer_mb = given->max_stream_buffer_mb;
  AcceptOptionText(given->application_name, "application_name", &accepted->application_name);
  AcceptOptionText(given->proxy_url, "proxy_url", &accepted->proxy_url);
  AcceptOptionText(given->proxy_user, "proxy_user", &accepted->proxy_user);
  if (!given->proxy_pass.empty()) {
    if (HasForbiddenControlCharacters(given->proxy_pass.view())) {
      ZV_LOG(kLogWarn, "transport", "proxy_pass contains forbidden control characters; ignored");
    } else {
      accepted->proxy_pass = given->proxy_pass.Copy();
    }
  }
}

arrow::Status ValidateComputeUrl(const zv_conn& conn, const char* compute_url) {
  arrow::Status valid = zv_tls_validate(&conn.tls, compute_url);
  if (!valid.ok()) {
    ZV_LOG(kLogError, "transport", "ComputeServer URL fails TLS validation: %s",
           zv_redact(valid.message()).c_str());
  }
  return valid;
}

std::string IdentityOf(const std::string& kind, const std::string& digest) {
  return digest.empty() ? std::string() : kind + '\x1f' + digest;
}

// Logs in with the connection's credentials and installs the new token,
// which the cache then holds for the next connections.
arrow::Status LogIn(zv_conn* conn, const SecretString& password) {
  auto login =
      zv_auth_login_password(conn->control_plane_url.c_str(), conn->login.username.c_str(),
                             password.c_str(), &conn->tls, &conn->options, conn->share_handle());
  if (!login.ok()) {
    ZV_LOG(kLogError, "transport", "Connection failed during auth: %s",
           login.status().message().c_str());
    return login.status();
  }
  if (login->session_token.empty()) {
    return arrow::Status::IOError("auth succeeded but no session token issued");
  }
  conn->subject_id = login->subject_id.value_or("");
  TokenCache::Instance().Store(conn->login.cache_key, login->session_token);
  conn->session_token.Replace(std::move(login->session_token));
  conn->token_source = TokenSource::kLogin;
  return arrow::Status::OK();
}

arrow::Status Authenticate(const ConnectRequest& request, zv_conn* conn) {
  if (request.session_token != nullptr) {
    // The token goes into an Authorization header: line breaks would let it
    // inject headers of its own.
    if (HasForbiddenControlCharacters(request.session_token)) {
      return arrow::Status::IOError("session_token contains forbidden control characters");
    }
    conn->session_token.Replace(SecretString(request.session_token));
    conn->auth_identity = IdentityOf("token", SecretDigest(request.session_token));
    conn->token_source = TokenSource::kGiven;
    return arrow::Status::OK();
  }
  conn->auth_identity =
      IdentityOf(std::string("user\x1f") + request.username, SecretDigest(request.password));
  conn->login.username = request.username;
  conn->login.password.Assign(request.password);
  conn->login.cache_key =
      TokenCache::Key(request.control_plane_url, request.username, request.password);
  if (auto cached = TokenCache::Instance().Lookup(conn->login.cache_key)) {
    conn->session_token.Replace(std::move(*cached));
    conn->token_source = TokenSource::kCache;
    ZV_LOG(kLogInfo, "auth", "Reusing cached session token for %s against %s (skipping /auth)",
           request.username, request.control_plane_url);
    return arrow::Status::OK();
  }
  return LogIn(conn, conn->login.password);
}

arrow::Result<zv_route> FindRoute(const ConnectRequest& request, const zv_conn& conn) {
  const SecretString token = conn.session_token.Copy();
  const ControlPlaneCall call = conn.control_plane_call(token);
  if (Given(request.compute_url)) return zv_route_from_explicit_url(request.compute_url);
  if (Given(request.compute_node)) return zv_route_lookup_by_entity_ref(call, request.compute_node);
  return zv_route_recommend(call, conn.subject_id.c_str());
}

// Whichever way the compute URL was found, the TLS policy holds for it before
// the token and SQL text are sent there. A reservation made for a node that
// fails is given back at once.
arrow::Result<zv_route> Route(const ConnectRequest& request, const zv_conn& conn) {
  if (Given(request.compute_url)) {
    ARROW_RETURN_NOT_OK(ValidateComputeUrl(conn, request.compute_url));
  }
  ARROW_ASSIGN_OR_RAISE(zv_route route, FindRoute(request, conn));
  arrow::Status valid = ValidateComputeUrl(conn, route.compute_url.c_str());
  if (!valid.ok() && route.reservation_id) {
    const SecretString token = conn.session_token.Copy();
    if (!zv_route_abandon(conn.control_plane_call(token), route.reservation_id->c_str()).ok()) {
      ZV_LOG(kLogWarn, "transport",
             "zv_route_abandon failed for reservation %s; slot will expire after TTL",
             route.reservation_id->c_str());
    }
  }
  ARROW_RETURN_NOT_OK(valid);
  return route;
}

// Routes the connection; when the control plane refuses a cached token (it
// expired, was revoked, or the service restarted), drops it from the cache,
// logs in once more and routes again. Nothing loops: a second refusal, or a
// refusal of a token just issued, is final.
arrow::Result<zv_route> RouteWithFreshToken(const ConnectRequest& request, zv_conn* conn) {
  auto route = Route(request, *conn);
  if (route.ok() || HttpStatusOf(route.status()) != 401) return route;
  if (conn->token_source == TokenSource::kLogin) return route;
  ARROW_RETURN_NOT_OK(
      zv_refresh_session_token(conn, conn->session_token.Copy(), route.status().message()));
  return Route(request, *conn);
}

}  // namespace

arrow::Result<std::shared_ptr<zv_conn>> zv_connect(const ConnectRequest& request) {
  if (request.control_plane_url == nullptr) {
    return arrow::Status::IOError("zv_connect: control_plane_url is required");
  }
  if (request.session_token == nullptr &&
      (request.username == nullptr || request.password == nullptr)) {
    return arrow::Status::IOError(
        "zv_connect: either session_token or (username + password) is required");
  }
  ZV_LOG(kLogInfo, "transport", "Connecting to %s (auth=%s, compute_url=%s, compute_node=%s)",
         request.control_plane_url, request.session_token ? "session_token" : "username/password",
         Given(request.compute_url) ? request.compute_url : "(auto)",
         Given(request.compute_node) ? request.compute_node : "(auto)");

  auto conn = std::make_shared<zv_conn>();
  conn->share = request.share ? request.share : ConnectionShare::Create();
  conn->control_plane_url = request.control_plane_url;
  if (request.tls != nullptr) conn->tls = *request.tls;
  AcceptOptions(request.options, &conn->options);
  conn->user_agent = UserAgent(&conn->options);

  ARROW_RETURN_NOT_OK(Authenticate(request, conn.get()));

  auto route = RouteWithFreshToken(request, conn.get());
  if (!route.ok()) {
    ZV_LOG(kLogError, "transport", "Connection failed during compute routing: %s",
           route.status().message().c_str());
    return route.status().WithMessage(Bounded(route.status().message(), kConnectErrorBuffer));
  }
  conn->compute_url = std::move(route->compute_url);
  conn->compute_node = route->node_entity_ref.value_or("");
  if (route->reservation_id) conn->reservation_id.Assign(*route->reservation_id);

  if (!conn->reservation_id.empty()) {
    const SecretString token = conn->session_token.Copy();
    if (zv_route_confirm(conn->control_plane_call(token), conn->reservation_id.c_str()).ok()) {
      conn->reservation_confirmed = true;
    } else {
      ZV_LOG(kLogWarn, "transport",
             "zv_route_confirm failed for reservation %s; slot will expire after TTL",
             conn->reservation_id.c_str());
    }
  }
  ZV_LOG(kLogInfo, "transport",
         "Connection established (subject_id=%s, compute_url=%s, compute_node=%s, "
         "reservation=%s)",
         conn->subject_id.empty() ? "(unknown)" : conn->subject_id.c_str(),
         conn->compute_url.c_str(),
         conn->compute_node.empty() ? "(none)" : conn->compute_node.c_str(),
         conn->reservation_id.empty() ? "(none)" : conn->reservation_id.c_str());
  return conn;
}

arrow::Status zv_refresh_session_token(zv_conn* conn, const SecretString& refused,
                                       const std::string& refusal) {
  std::lock_guard<std::mutex> lock(conn->refresh_mu);
  // Requests refused together: the first one logs in, the others use its token.
  if (conn->session_token.Copy().view() != refused.view()) return arrow::Status::OK();
  if (conn->token_source == TokenSource::kGiven) {
    return WithHttpStatus(
        arrow::Status::IOError(
            "the service refused the given session token (expired or revoked; obtain a new one): " +
            refusal),
        401);
  }
  SecretString password;
  {
    std::lock_guard<std::mutex> credentials(conn->login_mu);
    password = conn->login.password.Copy();
  }
  if (password.empty() || conn->released.load()) {
    return WithHttpStatus(
        arrow::Status::IOError("the session token was refused and the connection is released: " +
                               refusal),
        401);
  }
  TokenCache::Instance().Forget(conn->login.cache_key, refused);
  ZV_LOG(kLogInfo, "auth", "Session token for %s was refused (HTTP 401); logging in again",
         conn->login.username.c_str());
  return LogIn(conn, password);
}

// Takes the caller's reference (callers move it in), so the caller holds no
// connection afterwards.
void zv_disconnect(std::shared_ptr<zv_conn> conn) {  // NOLINT(performance-unnecessary-value-param)
  if (!conn) return;
  conn->released.store(true);
  {
    // Transfers still running stop now; none of them may log in any more.
    std::lock_guard<std::mutex> credentials(conn->login_mu);
    conn->login.password.Reset();
  }
  if (!conn->reservation_id.empty() && !conn->reservation_confirmed) {
    const SecretString token = conn->session_token.Copy();
    if (!zv_route_abandon(conn->control_plane_call(token), conn->reservation_id.c_str()).ok()) {
      ZV_LOG(kLogWarn, "transport",
             "zv_route_abandon failed for reservation %s; slot will expire after TTL",
             conn->reservation_id.c_str());
    }
  }
  // Workers still streaming keep their own reference; the record and its
  // share go when the last one is dropped.
}

}  // namespace zv
