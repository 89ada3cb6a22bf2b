#include "transport/url.h"

namespace zv {

namespace {

// Start and end of the authority, or npos when there is no "://".
bool FindAuthority(std::string_view url, size_t* begin, size_t* end) {
  const size_t sep = url.find("://");
  if (sep == std::string_view::npos) return false;
  *begin = sep + 3;
  *end = url.find_first_of("/?#", *begin);
  if (*end == std::string_view::npos) *end = url.size();
  return true;
}

}  // namespace

zv_url_parts SplitUrl(std::string_view url) {
  zv_url_parts parts;
  size_t begin = 0, end = 0;
  if (!FindAuthority(url, &begin, &end)) return parts;
  for (char c : url.substr(0, begin - 3)) {
    parts.scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  const std::string_view authority = url.substr(begin, end - begin);
  const size_t colon = authority.rfind(':');
  const size_t bracket = authority.find(']');
  const bool port_colon =
      colon != std::string_view::npos && (authority.empty() || authority[0] != '[' ||
                                          (bracket != std::string_view::npos && bracket < colon));
  if (port_colon) {
    parts.host = std::string(authority.substr(0, colon));
    parts.port = std::string(authority.substr(colon + 1));
  } else {
    parts.host = std::string(authority);
    parts.port = parts.scheme == "https" ? "443" : "80";
  }
  return parts;
}

std::string_view UrlRest(std::string_view url) {
  size_t begin = 0, end = 0;
  if (!FindAuthority(url, &begin, &end)) return {};
  return url.substr(end);
}

std::string WithoutUserInfo(std::string_view url) {
  size_t begin = 0, end = 0;
  if (!FindAuthority(url, &begin, &end)) return std::string(url);
  const size_t at = url.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, begin)) + std::string(url.substr(begin + at + 1));
}

std::string_view StripTrailingSlashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

}  // namespace zv
