#include "transport/auth_internal.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "diagnostics/log.h"
#include "transport/url.h"
#include "util/clock.h"
#include "util/format.h"
#include "util/json_members.h"
#include "util/no_destructor.h"

namespace zv {

namespace {

constexpr int64_t kTokenLifetimeNs = 300LL * 1000 * 1000 * 1000;
constexpr size_t kAuthErrorBuffer = 1024;

}  // namespace

// SHA-256 over a per-process random salt and the secret: equal secrets
// give equal keys within the process, while a memory dump of the cache reveals
// nothing that a dictionary could be run against offline.
std::string SecretDigest(std::string_view secret) {
  static const std::string salt = [] {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
      const auto seed = MonotonicNanos();
      std::memcpy(bytes, &seed, sizeof(seed));
    }
    return std::string(reinterpret_cast<char*>(bytes), sizeof(bytes));
  }();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return {};
  const bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx, salt.data(), salt.size()) == 1 &&
                  EVP_DigestUpdate(ctx, secret.data(), secret.size()) == 1 &&
                  EVP_DigestFinal_ex(ctx, digest, &length) == 1 && length > 0;
  EVP_MD_CTX_free(ctx);
  // Without a digest every secret would share one key: no caching then.
  if (!ok) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 15]);
  }
  return hex;
}

arrow::Result<zv_auth_result> ParseAuthResponse(const std::string& body) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception& e) {
    return arrow::Status::IOError(Format("auth response is not valid JSON: %s", e.what()));
  }
  if (!json.is_object()) return arrow::Status::IOError("auth response is not a JSON object");
  zv_auth_result result;
  // Tokens go straight from the parsed document into zeroing storage.
  for (auto [name, token] : {std::pair{"session_token", &result.session_token},
                             std::pair{"access_token", &result.access_token}}) {
    auto it = json.find(name);
    if (it != json.end() && it->is_string()) token->Assign(it->get_ref<const std::string&>());
  }
  result.subject_id = StringMember(json, "subject_id");
  result.principal_type = StringMember(json, "principal_type");
  result.name = StringMember(json, "name");
  result.session_expires_at = StringMember(json, "session_expires_at");
  auto expires = json.find("expires_in");
  if (expires != json.end() && expires->is_number_integer()) {
    result.expires_in = static_cast<int32_t>(expires->get<int64_t>());
  }
  // The raw JSON values hold the tokens too; scrub them before they are freed.
  for (const char* name : {"session_token", "access_token"}) {
    auto it = json.find(name);
    if (it != json.end() && it->is_string()) {
      auto& text = it->get_ref<std::string&>();
      SecureZero(text.data(), text.size());
    }
  }
  if (!result.session_token.has_value()) {
    return arrow::Status::IOError(
        "auth response did not include a session_token; control plane may not be configured to "
        "issue compute session tokens");
  }
  for (auto [name, token] : {std::pair{"session_token", &result.session_token},
                             std::pair{"access_token", &result.access_token}}) {
    if (token->has_value() && HasForbiddenControlCharacters(token->view())) {
      return arrow::Status::IOError(
          Format("auth response %s contains forbidden control characters", name));
    }
  }
  return result;
}

arrow::Result<zv_auth_result> zv_auth_login_password(const char* control_plane_url,
                                                     const char* username, const char* password,
                                                     const zv_tls_config* tls,
                                                     const zv_conn_options* options,
                                                     const ConnectionShare* share) {
  if (control_plane_url == nullptr || username == nullptr || password == nullptr) {
    return arrow::Status::IOError("zv_auth_login_password: NULL argument");
  }
  const std::string url =
      std::string(StripTrailingSlashes(control_plane_url)) + "/api/v1/auth/token";
  std::string body;
  ZeroOnScopeExit zero_body(body);
  try {
    nlohmann::json request = {
        {"grant_type", "password"}, {"username", username}, {"password", password}};
    // Also on the way out through an encoding failure.
    ZeroOnScopeExit zero_request_copy(request["password"].get_ref<std::string&>());
    // Room for the longest encoding (every byte escaped as \u00XX): the
    // text never moves, so no freed buffer keeps a copy of the password.
    body.reserve(6 * (std::strlen(username) + std::strlen(password)) + 64);
    nlohmann::detail::serializer<nlohmann::json> serializer(
        nlohmann::detail::output_adapter<char>(body), ' ');
    serializer.dump(request, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
  } catch (const nlohmann::json::exception& e) {
    return arrow::Status::IOError(
        Format("auth: failed to encode credentials as JSON (non-UTF-8 input?): %s", e.what()));
  } catch (...) {
    return arrow::Status::IOError("auth: unknown error encoding credentials");
  }

  ZV_LOG(kLogInfo, "auth", "Authenticating user %s against %s", username, control_plane_url);
  ZV_LOG(kLogDebug, "auth", "Credential lengths: username=%zu bytes, password=%zu bytes",
         std::strlen(username), std::strlen(password));

  std::string response;
  ZeroOnScopeExit zero_response(response);
  HttpJsonRequest request = HttpJsonRequest::Get(url, tls, options, share);
  request.post = true;
  request.body = body;
  auto status = zv_http_json(request, &response);
  SecureZero(body.data(), body.size());

  if (!status.ok()) {
    ZV_LOG(kLogError, "auth", "Auth transport error: %s", status.status().message().c_str());
    return status.status();
  }
  if (*status < 200 || *status > 299) {
    ZV_LOG(kLogWarn, "auth", "Auth failed (HTTP %ld) for user %s", *status, username);
    return WithHttpStatus(
        arrow::Status::IOError(Bounded(AuthErrorMessage(*status, response), kAuthErrorBuffer)),
        *status);
  }
  ARROW_ASSIGN_OR_RAISE(zv_auth_result result, ParseAuthResponse(response));
  ZV_LOG(kLogInfo, "auth", "Auth successful for %s (subject_id=%s, token=[REDACTED])", username,
         result.subject_id ? result.subject_id->c_str() : "(unknown)");
  return result;
}

struct TokenCache::Entry {
  SecretString token;
  int64_t stored_at_ns = 0;
};

struct TokenCache::State {
  std::mutex mu;
  std::unordered_map<std::string, Entry> entries;
};

TokenCache& TokenCache::Instance() {
  // Stateless facade (the entries live in state()), so trivially destroyed.
  static TokenCache cache;
  return cache;
}

TokenCache::State& TokenCache::state() {
  static NoDestructor<State> state;
  return *state;
}

std::string TokenCache::Key(const char* control_plane_url, const char* username,
                            const char* password) {
  if (control_plane_url == nullptr || username == nullptr || password == nullptr ||
      !*control_plane_url || !*username || !*password) {
    return {};
  }
  const std::string digest = SecretDigest(password);
  if (digest.empty()) return {};
  return std::string(control_plane_url) + '\x1f' + username + '\x1f' + digest;
}

std::optional<SecretString> TokenCache::Lookup(const std::string& key) {
  if (key.empty()) return std::nullopt;
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mu);
  auto it = st.entries.find(key);
  if (it == st.entries.end()) return std::nullopt;
  if (MonotonicNanos() - it->second.stored_at_ns > kTokenLifetimeNs) {
    st.entries.erase(it);
    return std::nullopt;
  }
  return it->second.token.Copy();
}

void TokenCache::Store(const std::string& key, const SecretString& token) {
  if (key.empty() || token.empty()) return;
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mu);
  Entry& entry = st.entries[key];
  entry.token = token.Copy();
  entry.stored_at_ns = MonotonicNanos();
}

void TokenCache::Forget(const std::string& key, const SecretString& token) {
  if (key.empty()) return;
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mu);
  auto it = st.entries.find(key);
  if (it != st.entries.end() && it->second.token.view() == token.view()) st.entries.erase(it);
}

void TokenCache::AgeEntriesForTesting(int64_t seconds) {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mu);
  for (auto& [key, entry] : st.entries) entry.stored_at_ns -= seconds * 1000000000LL;
}

void TokenCache::ClearForTesting() {
  State& st = state();
  std::lock_guard<std::mutex> lock(st.mu);
  st.entries.clear();
}

}  // namespace zv
