#pragma once

#include <string>
#include <string_view>

namespace zv {

// The parts of a URL the TLS policy cares about. All empty when the URL has no
// "://". The scheme is lower-cased; the port defaults by scheme; a bracketed
// IPv6 host keeps its brackets; user information stays part of the host.
struct zv_url_parts {
  std::string scheme;
  std::string host;
  std::string port;
};

zv_url_parts SplitUrl(std::string_view url);

// Everything of the URL from the first '/', '?' or '#' after the authority
// (empty when there is none).
std::string_view UrlRest(std::string_view url);

// The URL with any "user:password@" before the host removed, for log lines.
std::string WithoutUserInfo(std::string_view url);

// The URL without trailing '/' characters: the base every path is appended to.
std::string_view StripTrailingSlashes(std::string_view url);

}  // namespace zv
