#pragma once

#include <mutex>
#include <string>

#include "util/secret_string.h"

namespace zv {

// The session token of an open connection. A refresh replaces it while query
// and ingest workers set up requests with it, so every read is a copy taken
// under the lock: no reader ever holds a pointer into a token being replaced.
class GuardedToken {
 public:
  SecretString Copy() const {
    std::lock_guard<std::mutex> lock(mu_);
    return token_.Copy();
  }
  bool empty() const {
    std::lock_guard<std::mutex> lock(mu_);
    return token_.empty();
  }
  void Replace(SecretString token) {
    std::lock_guard<std::mutex> lock(mu_);
    token_ = std::move(token);
  }

 private:
  mutable std::mutex mu_;
  SecretString token_;
};

// Where a connection's session token came from. A token the host gave cannot
// be renewed; one from the cache or a password login can, by logging in again.
enum class TokenSource { kGiven, kCache, kLogin };

// What a fresh login needs once the service refuses the connection's token.
// Kept only for password connections; the password is zeroed when the
// connection is released.
struct LoginCredentials {
  std::string username;
  SecretString password;
  std::string cache_key;  // empty: the token is not cached
};

}  // namespace zv
