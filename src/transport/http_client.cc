#include "transport/http_client.h"

#include <nlohmann/json.hpp>

#include "transport/http_request.h"
#include "util/failure.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr long kRequestTimeoutSec = 30;
constexpr size_t kErrorBodyPrefix = 256;

std::string BodyPrefix(const std::string& body) { return body.substr(0, kErrorBodyPrefix); }

// "<operation> failed (HTTP <status>): <detail>", or a statement that the body
// was empty when there is nothing to show, so a message never ends in a colon.
std::string FailureText(const char* operation, long status, const std::string& detail) {
  if (detail.find_first_not_of(" \t\r\n") == std::string::npos) {
    return Format("%s failed (HTTP %ld with an empty body)", operation, status);
  }
  return Format("%s failed (HTTP %ld): %s", operation, status, detail.c_str());
}

// The status a server answered a failed request with, and what it says in
// the driver's failure terms.
class HttpStatusDetail : public FailureDetail {
 public:
  explicit HttpStatusDetail(long status)
      : FailureDetail(FailureKind::kIo, std::string(SqlStateOfHttpStatus(status)),
                      Origin::kClassified),
        status_(status) {}
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
  return text.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
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

HttpJsonRequest HttpJsonRequest::Get(std::string url, const zv_tls_config* tls,
                                     const zv_conn_options* options, const ConnectionShare* share) {
  HttpJsonRequest request;
  request.url = std::move(url);
  request.tls = tls;
  request.options = options;
  request.share = share;
  return request;
}

arrow::Result<long> zv_http_json(const HttpJsonRequest& call, std::string* response) {
  ARROW_ASSIGN_OR_RAISE(HttpRequest request, HttpRequest::Make(call.url));
  ARROW_RETURN_NOT_OK(request.AddHeader("Content-Type: application/json"));
  ARROW_RETURN_NOT_OK(request.AddHeader("Accept: application/json"));
  if (call.bearer_token != nullptr) ARROW_RETURN_NOT_OK(request.AddBearerToken(call.bearer_token));
  request.SetReceiver(CappedBodyReceiver(response, kMaxJsonResponseBytes));
  request.SetTotalTimeout(WholeRequestTimeoutSec(call.options, kRequestTimeoutSec));
  request.SetConnection(call.options, call.share);
  if (call.cancel != nullptr) {
    request.SetAbortCheck([cancel = call.cancel] { return cancel->load(); });
  }
  if (call.post) request.SetPostBody(std::string(call.body));
  request.SetTls(call.tls);
  auto status = request.Perform();
  if (!status.ok()) return WithTransferContext(status.status(), "HTTP transport error: ");
  return status;
}

std::string HttpErrorMessage(const char* operation, long status, const std::string& body) {
  auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (json.is_object()) {
    auto error = json.find("error");
    if (error != json.end() && error->is_string() &&
        !error->get_ref<const std::string&>().empty()) {
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
