#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/curl_handles_internal.h"

namespace zv {

// The libcurl share of one transport connection: TCP connections, DNS results
// and TLS sessions reused by all of its requests, serialised by one recursive
// mutex. Owned jointly (shared_ptr) by the connection and by every transfer
// that uses it, so neither the share nor its lock can be freed while a late
// transfer (a result stream still draining after its connection was released)
// still calls the lock callbacks.
class ConnectionShare {
 public:
  // Null when libcurl refuses to create or configure the share; requests then
  // work without reuse (the reason is logged at WARN).
  static std::shared_ptr<ConnectionShare> Create();
  ~ConnectionShare();
  ConnectionShare(const ConnectionShare&) = delete;
  ConnectionShare& operator=(const ConnectionShare&) = delete;

  // The libcurl share handle (a CURLSH*), for setting up requests.
  void* handle() const { return share_; }

  // The idle connections of direct exchanges (direct_exchange_internal.h):
  // each a connected handle of its own, which libcurl's pool does not take.
  // Take hands out the most recently kept one for `origin`, or null; Keep
  // holds at most a few and closes the rest. Const like handle(): the
  // requests that use the share see it through a const pointer.
  CurlEasy TakeIdleChannel(const std::string& origin) const;
  void KeepIdleChannel(std::string origin, CurlEasy channel) const;

  // Constructible only through Create(); public for std::make_shared.
  struct PrivateTag {};
  explicit ConnectionShare(PrivateTag) {}

 private:
  static constexpr size_t kMaxIdleChannels = 4;

  void* share_ = nullptr;
  std::recursive_mutex lock_;
  mutable std::mutex idle_lock_;
  mutable std::vector<std::pair<std::string, CurlEasy>> idle_;
};

}  // namespace zv
