#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/secret_string.h"
#include "transport/http_client.h"
#include "transport/tls_config.h"

namespace zv {

// What a login returns. The tokens zero themselves when released.
struct zv_auth_result {
  SecretString session_token;
  SecretString access_token;
  std::optional<std::string> subject_id;
  std::optional<std::string> principal_type;
  std::optional<std::string> name;
  int32_t expires_in = 0;
  std::optional<std::string> session_expires_at;
};

// Exchanges a user name and password for a session token at the control
// plane. Failures carry the message to report (transport, HTTP refusal with
// the server's reason, or a malformed answer); nothing secret is logged.
arrow::Result<zv_auth_result> zv_auth_login_password(const char* control_plane_url,
                                                     const char* username, const char* password,
                                                     const zv_tls_config* tls,
                                                     const zv_conn_options* options,
                                                     const ConnectionShare* share);

// Parses a successful login response body.
arrow::Result<zv_auth_result> ParseAuthResponse(const std::string& body);

// Hex SHA-256 of a per-process random salt and `secret`: equal secrets give
// equal digests within the process, and the digest reveals nothing a
// dictionary could be run against offline. Empty when hashing failed (then
// nothing may be cached under it).
std::string SecretDigest(std::string_view secret);

// The process-wide cache of session tokens obtained by password logins, so
// that many connections for one user in quick succession log in once. Entries
// are reusable for 300 s. The key holds a salted digest of the password, never
// the password itself.
class TokenCache {
 public:
  static TokenCache& Instance();

  // Empty when any part is empty: such connections do not use the cache.
  static std::string Key(const char* control_plane_url, const char* username, const char* password);

  // The token stored under `key` when it is at most 300 s old (an older entry
  // is erased).
  std::optional<SecretString> Lookup(const std::string& key);
  void Store(const std::string& key, const SecretString& token);
  // Drops the entry under `key` if it still holds `token`: the service
  // refused it. A token another connection stored meanwhile stays.
  void Forget(const std::string& key, const SecretString& token);

  // For tests: ages every entry by `seconds`.
  void AgeEntriesForTesting(int64_t seconds);
  void ClearForTesting();

 private:
  TokenCache() = default;
  struct Entry;
  struct State;
  State& state();
};

}  // namespace zv
