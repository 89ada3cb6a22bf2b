#include "transport/http_client.h"

#include <nlohmann/json.hpp>

#include "util/secret_string.h"
#include "transport/redirect_policy.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr long kRequestTimeoutSec = 30;
constexpr size_t kErrorBodyPrefix = 256;

size_t AppendCapped(char* data, size_t size, size_t nmemb, void* userdata) {
  auto* response = static_cast<std::string*>(userdata);
  const size_t bytes = size * nmemb;
  if (response->size() + bytes > kMaxJsonResponseBytes) return 0;  // aborts the transfer
  response->append(data, bytes);
  return bytes;
}

int AbortWhenCancelled(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

std::string BodyPrefix(const std::string& body) { return body.substr(0, kErrorBodyPrefix); }

// "<operation> failed (HTTP <status>): <detail>", or a statement that the body
// was empty when there is nothing to show, so a message never ends in a colon.
std::string FailureText(const char* operation, long status, const std::string& detail) {
  if (detail.find_first_not_of(" \t\r\n") == std::string::npos) {
    return Format("%s failed (HTTP %ld with an empty body)", operation, status);
  }
  return Format("%s failed (HTTP %ld): %s", operation, status, detail.c_str());
}

class HttpStatusDetail : public arrow::StatusDetail {
 public:
  explicit HttpStatusDetail(long status) : status_(status) {}
  const char* type_id() const override { return "zv::HttpStatusDetail"; }
  std::string ToString() const override { return "HTTP " + std::to_string(status_); }
  long status() const { return status_; }

 private:
  long status_;
};

}  // namespace

arrow::Status WithHttpStatus(arrow::Status status, long http_status) {
  if (status.ok()) return status;
  return status.WithDetail(std::make_shared<HttpStatusDetail>(http_status));
}

long HttpStatusOf(const arrow::Status& status) {
  const auto detail = std::dynamic_pointer_cast<HttpStatusDetail>(status.detail());
  return detail ? detail->status() : 0;
}

bool HasForbiddenControlCharacters(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string UserAgent(const zv_conn_options* options) {
  std::string agent = std::string("Zorvane-ODBC/") + kDriverVersion;
  if (options != nullptr && !options->application_name.empty()) {
    agent += " " + options->application_name;
  }
  return agent;
}

long ConnectTimeoutSec(const zv_conn_options* options) {
  return options != nullptr && options->connect_timeout_sec > 0 ? options->connect_timeout_sec
                                                                : kDefaultConnectTimeoutSec;
}

long WholeRequestTimeoutSec(const zv_conn_options* options, long default_sec) {
  return options != nullptr && options->connect_timeout_sec > 0 ? options->connect_timeout_sec
                                                                : default_sec;
}

void ApplyProxy(CURL* easy, const zv_conn_options* options) {
  if (options == nullptr || options->proxy_url.empty()) return;
  curl_easy_setopt(easy, CURLOPT_PROXY, options->proxy_url.c_str());
  if (!options->proxy_user.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, options->proxy_user.c_str());
  }
  if (!options->proxy_pass.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, options->proxy_pass.c_str());
  }
}

void ApplyConnectionSettings(CURL* easy, const zv_conn_options* options, CURLSH* share,
                             const std::string& user_agent) {
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, ConnectTimeoutSec(options));
  if (share != nullptr) curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPIDLE, 30L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPINTVL, 30L);
  if (!user_agent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent.c_str());
  ApplyProxy(easy, options);
}

void AppendBearerHeader(CurlSlist& headers, std::string_view token) {
  static constexpr std::string_view kPrefix = "Authorization: Bearer ";
  std::string header;
  ZeroOnScopeExit zero_header(header);
  header.reserve(kPrefix.size() + token.size());  // no reallocation leaves a copy behind
  header.append(kPrefix).append(token);
  AppendToSlist(headers, header.c_str());
}

arrow::Result<long> zv_http_json(const std::string& url, const char* method,
                                 const std::string& body, const char* bearer_token,
                                 const zv_tls_config* tls, const zv_conn_options* options,
                                 CURLSH* share, std::string* response,
                                 const std::atomic<bool>* cancel) {
  CurlEasy easy(curl_easy_init());
  if (!easy) return arrow::Status::IOError("curl_easy_init failed");

  CurlSlist headers;
  AppendToSlist(headers, "Content-Type: application/json");
  AppendToSlist(headers, "Accept: application/json");
  if (bearer_token != nullptr) AppendBearerHeader(headers, bearer_token);
  char error_buffer[CURL_ERROR_SIZE] = {};
  const std::string user_agent = UserAgent(options);

  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendCapped);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(response));
  RedirectGuard redirects;
  redirects.Install(h);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, WholeRequestTimeoutSec(options, kRequestTimeoutSec));
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
  ApplyConnectionSettings(h, options, share, user_agent);
  if (cancel != nullptr) {
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &AbortWhenCancelled);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  }
  if (method != nullptr && std::string_view(method) == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  CurlSlist connect_to;
  if (tls != nullptr) {
    arrow::Status st = zv_tls_apply_to_curl(h, tls, url.c_str(), &connect_to);
    if (!st.ok()) return arrow::Status::IOError("TLS configuration: ", st.message());
  }
  CURLcode rc = curl_easy_perform(h);
  if (redirects.refused()) return arrow::Status::IOError(redirects.refusal());
  if (rc != CURLE_OK) {
    return arrow::Status::IOError("HTTP transport error: ", error_buffer[0] != '\0'
                                                                ? error_buffer
                                                                : curl_easy_strerror(rc));
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::string HttpErrorMessage(const char* operation, long status, const std::string& body) {
  auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_object()) {
    auto error = json.find("error");
    if (error != json.end() && error->is_string() && !error->get_ref<const std::string&>().empty()) {
      return FailureText(operation, status, error->get_ref<const std::string&>());
    }
  }
  return FailureText(operation, status, BodyPrefix(body));
}

std::string AuthErrorMessage(long status, const std::string& body) {
  std::string detail;
  auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_object()) {
    auto text_member = [&](const char* name) -> std::string {
      auto it = json.find(name);
      return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string message = text_member("message");
    const std::string error = text_member("error");
    detail = message;
    if (!error.empty()) detail += message.empty() ? error : " [" + error + "]";
    auto details = json.find("details");
    if (details != json.end() && details->is_string()) {
      if (!detail.empty()) detail += " ";
      detail += "(" + details->get<std::string>() + ")";
    }
  }
  if (detail.empty()) detail = BodyPrefix(body);
  return FailureText("control plane auth", status, detail);
}

}  // namespace zv
