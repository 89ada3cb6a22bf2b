// Which redirects a request may follow. A redirect is followed only when it
// stays on the origin (scheme, host and port) of the request that received
// it: anything else could carry the login body, a bearer token or SQL text to
// a host the connection never agreed to talk to, or downgrade https to http.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

namespace zv {

// True when `location`, resolved against `request_url` as a browser would
// (relative references included), has the same scheme, host and port as
// `request_url`. Scheme and host compare without regard to ASCII case; an
// omitted port counts as the scheme's default. False when either URL does not
// parse.
bool IsSameOriginRedirect(std::string_view request_url, std::string_view location);

// "refused to follow the redirect to <location>: ..." (the location scrubbed of
// user information and secrets, cut to fit the callers' message buffers).
std::string RedirectRefusalMessage(std::string_view location);

// Watches the response headers of one transfer and lets libcurl follow only
// same-origin redirects (at most kMaxRedirects). A cross-origin Location stops
// the transfer before libcurl acts on it; libcurl then reports a write error
// and refusal() holds the message to report instead. Install on every easy
// handle; the guard must outlive the transfer and is not copyable (libcurl
// keeps its address).
class RedirectGuard {
 public:
  static constexpr long kMaxRedirects = 5;

  RedirectGuard() = default;
  RedirectGuard(const RedirectGuard&) = delete;
  RedirectGuard& operator=(const RedirectGuard&) = delete;

  // Sets the redirect options and the header callback on `easy`.
  void Install(CURL* easy);

  bool refused() const { return !refusal_.empty(); }
  const std::string& refusal() const { return refusal_; }

 private:
  static size_t OnHeader(char* data, size_t size, size_t nmemb, void* userdata);
  // Returns false to stop the transfer.
  bool Inspect(std::string_view line);

  CURL* easy_ = nullptr;
  long status_ = 0;  // of the response whose headers are arriving
  std::string refusal_;
};

}  // namespace zv
