#pragma once

#include <memory>
#include <mutex>

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

  // Constructible only through Create(); public for std::make_shared.
  struct PrivateTag {};
  explicit ConnectionShare(PrivateTag) {}

 private:
  void* share_ = nullptr;
  std::recursive_mutex lock_;
};

}  // namespace zv
