#include "transport/connection_share_internal.h"

#include <curl/curl.h>

#include "diagnostics/log.h"

namespace zv {

namespace {

void Lock(CURL*, curl_lock_data, curl_lock_access, void* userptr) {
  static_cast<std::recursive_mutex*>(userptr)->lock();
}

void Unlock(CURL*, curl_lock_data, void* userptr) {
  static_cast<std::recursive_mutex*>(userptr)->unlock();
}

}  // namespace

std::shared_ptr<ConnectionShare> ConnectionShare::Create() {
  auto share = std::make_shared<ConnectionShare>(PrivateTag{});
  share->share_ = curl_share_init();
  if (share->share_ == nullptr) {
    ZV_LOG(kLogWarn, "transport", "curl_share_init failed; per-query connection pooling disabled");
    return nullptr;
  }
  struct Step {
    const char* name;
    CURLSHcode (*apply)(CURLSH*, ConnectionShare*);
  };
  static const Step kSteps[] = {
      {"USERDATA",
       [](CURLSH* s, ConnectionShare* self) {
         return curl_share_setopt(s, CURLSHOPT_USERDATA, static_cast<void*>(&self->lock_));
       }},
      {"LOCKFUNC",
       [](CURLSH* s, ConnectionShare*) { return curl_share_setopt(s, CURLSHOPT_LOCKFUNC, &Lock); }},
      {"UNLOCKFUNC",
       [](CURLSH* s, ConnectionShare*) {
         return curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, &Unlock);
       }},
      {"SHARE=CONNECT",
       [](CURLSH* s, ConnectionShare*) {
         return curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
       }},
      {"SHARE=DNS",
       [](CURLSH* s, ConnectionShare*) {
         return curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
       }},
      {"SHARE=SSL_SESSION",
       [](CURLSH* s, ConnectionShare*) {
         return curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
       }},
  };
  for (const Step& step : kSteps) {
    CURLSHcode rc = step.apply(static_cast<CURLSH*>(share->share_), share.get());
    if (rc != CURLSHE_OK) {
      ZV_LOG(kLogWarn, "transport", "curl_share_setopt(%s) failed: %s; per-query pooling disabled",
             step.name, curl_share_strerror(rc));
      return nullptr;  // the destructor cleans the half-configured share up
    }
  }
  return share;
}

CurlEasy ConnectionShare::TakeIdleChannel(const std::string& origin) const {
  std::lock_guard hold(idle_lock_);
  for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
    if (it->first != origin) continue;
    CurlEasy channel = std::move(it->second);
    idle_.erase(std::next(it).base());
    return channel;
  }
  return nullptr;
}

void ConnectionShare::KeepIdleChannel(std::string origin, CurlEasy channel) const {
  CurlEasy closed;  // the oldest kept one, closed outside the lock
  std::lock_guard hold(idle_lock_);
  if (idle_.size() >= kMaxIdleChannels) {
    closed = std::move(idle_.front().second);
    idle_.erase(idle_.begin());
  }
  idle_.emplace_back(std::move(origin), std::move(channel));
}

ConnectionShare::~ConnectionShare() {
  if (share_ == nullptr) return;
  CURLSHcode rc = curl_share_cleanup(static_cast<CURLSH*>(share_));
  if (rc != CURLSHE_OK) {
    // Every transfer holds a reference to this object, so this means an easy
    // handle still names the share without holding one: leak the share rather
    // than let libcurl touch freed memory.
    ZV_LOG(kLogError, "transport",
           "curl_share_cleanup returned %s; zv_disconnect was called with a live query still "
           "attached. Share handle is being leaked to avoid a worker-side use-after-free",
           curl_share_strerror(rc));
  }
}

}  // namespace zv
