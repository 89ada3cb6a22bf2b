#include "transport/redirect_policy_internal.h"

#include <memory>
#include <optional>

#include "diagnostics/redact.h"
#include "util/ascii.h"
#include "util/format.h"

namespace zv {

namespace {

// The longest Location a refusal quotes: the message must fit the smallest
// buffer a caller reports it through (512 bytes).
constexpr size_t kMaxQuotedLocation = 300;

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct Origin {
  std::string scheme;
  std::string host;
  std::string port;
  bool operator==(const Origin&) const = default;
};

std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned int flags) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

std::optional<Origin> OriginOf(CURLU* url) {
  auto scheme = Part(url, CURLUPART_SCHEME, 0);
  auto host = Part(url, CURLUPART_HOST, 0);
  auto port = Part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port) return std::nullopt;
  return Origin{ascii_lower(*scheme), ascii_lower(*host), std::move(*port)};
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
}

// The status code of a status line ("HTTP/1.1 307 Temporary Redirect"), or 0.
long StatusOf(std::string_view line) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return 0;
  long status = 0;
  for (size_t i = space + 1; i < line.size() && i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status;
}

}  // namespace

bool IsSameOriginRedirect(std::string_view request_url, std::string_view location) {
  CurlUrl request(curl_url());
  CurlUrl target(curl_url());
  if (!request || !target) return false;
  const std::string base(request_url);
  if (curl_url_set(request.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(target.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
    return false;
  }
  // Setting a URL on a handle that holds one resolves it as a reference
  // relative to the first, as libcurl itself does when it follows.
  const std::string reference(location);
  if (curl_url_set(target.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return false;
  std::optional<Origin> from = OriginOf(request.get());
  std::optional<Origin> to = OriginOf(target.get());
  return from && to && *from == *to;
}

std::string RedirectRefusalMessage(std::string_view location) {
  std::string quoted = zv_redact(location);
  if (quoted.size() > kMaxQuotedLocation)
    quoted = Bounded(std::move(quoted), kMaxQuotedLocation) + "...";
  return Format(
      "refused to follow the redirect to '%s': a redirect must keep the scheme, host and port "
      "of the request",
      quoted.c_str());
}

void RedirectGuard::Install(CURL* easy) {
  easy_ = easy;
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  // Credentials set through libcurl's own options stay with the first host
  // whatever happens (our bearer tokens are headers, guarded below).
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &RedirectGuard::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, static_cast<void*>(this));
}

size_t RedirectGuard::OnHeader(char* data, size_t size, size_t nmemb, void* userdata) {
  const size_t bytes = size * nmemb;
  try {
    auto* guard = static_cast<RedirectGuard*>(userdata);
    return guard->Inspect(std::string_view(data, bytes)) ? bytes : 0;
  } catch (...) {
    return 0;  // nothing may unwind through libcurl; stopping is the safe side
  }
}

bool RedirectGuard::Inspect(std::string_view line) {
  if (StartsWithNoCase(line, "HTTP/")) {
    status_ = StatusOf(line);
    return true;
  }
  if (status_ < 300 || status_ > 399 || status_ == 304) return true;
  if (!StartsWithNoCase(line, "Location:")) return true;
  const std::string_view location = Trimmed(line.substr(9));
  if (location.empty()) return true;  // nothing libcurl could follow
  char* current = nullptr;
  if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK &&
      current != nullptr && IsSameOriginRedirect(current, location)) {
    return true;
  }
  refusal_ = RedirectRefusalMessage(location);
  return false;
}

}  // namespace zv
