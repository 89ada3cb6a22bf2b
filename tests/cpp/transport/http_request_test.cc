#include "transport/http_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "transport/tls_config.h"
#include "util/failure.h"

namespace {

using zv::HttpRequest;
using zv::TransferError;

// A one-exchange HTTP server on a loopback port: it reads one request (with a
// Content-Length or chunked body) and sends `reply`, or with an empty reply
// keeps the connection silent until the client gives up.
class OneShotServer {
 public:
  explicit OneShotServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~OneShotServer() {
    shutdown(listener_, SHUT_RDWR);  // a client that never connected leaves accept waiting
    thread_.join();
    close(listener_);
  }

  std::string url(const char* path = "/x") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // What the client sent; read once the request has been performed.
  const std::string& received() const { return received_; }

 private:
  bool RequestComplete() const {
    const size_t end = received_.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    if (received_.find("Transfer-Encoding: chunked") != std::string::npos) {
      return received_.find("\r\n0\r\n\r\n", end) != std::string::npos;
    }
    const size_t length_at = received_.find("Content-Length: ");
    if (length_at == std::string::npos) return true;
    return received_.size() - end - 4 >= std::stoul(received_.substr(length_at + 16));
  }

  void Serve() {
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    timeval wait{5, 0};  // a silent server ends once the client has long gone
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char buffer[4096];
    while (!RequestComplete()) {
      const ssize_t n = recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      received_.append(buffer, static_cast<size_t>(n));
    }
    if (reply_.empty()) {
      while (recv(client, buffer, sizeof(buffer), 0) > 0) {
      }
    } else {
      send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    }
    close(client);
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::string received_;
  std::thread thread_;
};

std::string Reply(int status, const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
         extra + "\r\n" + body;
}

TransferError KindOf(const arrow::Status& status) {
  return zv::TransferErrorOf(status).value_or(TransferError::kOther);
}

TEST(HttpRequest, SendsHeadersTokenAndBodyAndReceivesTheAnswer) {
  OneShotServer server(Reply(418, "teapot"));
  auto request = HttpRequest::Make(server.url());
  ASSERT_TRUE(request.ok());
  ASSERT_TRUE(request->AddHeader("X-Probe: 1").ok());
  ASSERT_TRUE(request->AddBearerToken("tok-123").ok());
  request->SetPostBody("{\"sql\":1}");
  std::string response;
  request->SetReceiver(zv::CappedBodyReceiver(&response, 1024));
  request->SetConnection(nullptr, nullptr);
  auto status = request->Perform();
  ASSERT_TRUE(status.ok()) << status.status().ToString();
  EXPECT_EQ(*status, 418) << "any completed status is the caller's to judge";
  EXPECT_EQ(request->ResponseStatus(), 418);
  EXPECT_EQ(response, "teapot");
  EXPECT_NE(server.received().find("POST /x "), std::string::npos);
  EXPECT_NE(server.received().find("X-Probe: 1\r\n"), std::string::npos);
  EXPECT_NE(server.received().find("Authorization: Bearer tok-123\r\n"), std::string::npos);
  EXPECT_NE(server.received().find("User-Agent: Zorvane-ODBC/"), std::string::npos);
  EXPECT_NE(server.received().find("\r\n\r\n{\"sql\":1}"), std::string::npos);
}

TEST(HttpRequest, StreamsAnUploadFromItsSource) {
  OneShotServer server(Reply(200, "ok"));
  auto request = HttpRequest::Make(server.url());
  ASSERT_TRUE(request.ok());
  ASSERT_TRUE(request->AddHeader("Transfer-Encoding: chunked").ok());
  ASSERT_TRUE(request->AddHeader("Expect:").ok());
  std::string pieces[] = {"first-", "second"};
  size_t next = 0;
  request->SetStreamedUpload(
      [&](char* buffer, size_t capacity) -> size_t {
        if (next == 2) return 0;
        const std::string& piece = pieces[next++];
        EXPECT_LE(piece.size(), capacity);
        piece.copy(buffer, piece.size());
        return piece.size();
      },
      [] { return false; });
  auto status = request->Perform();
  ASSERT_TRUE(status.ok()) << status.status().ToString();
  EXPECT_EQ(*status, 200);
  EXPECT_NE(server.received().find("first-"), std::string::npos);
  EXPECT_NE(server.received().find("second"), std::string::npos);
}

TEST(HttpRequest, ReportsWhyAnExchangeStopped) {
  struct Case {
    const char* name;
    std::string reply;  // empty: the server stays silent
    std::function<void(HttpRequest&)> set_up;
    TransferError kind;
    const char* message_part;
    const char* sqlstate = "";  // what libcurl's result says, empty: nothing
  } cases[] = {
      {"receiver refuses", Reply(200, "body"),
       [](HttpRequest& r) { r.SetReceiver([](long, std::string_view) { return false; }); },
       TransferError::kReceiverStopped, ""},
      {"body over the cap", Reply(200, std::string(100, 'x')),
       [](HttpRequest& r) {
         static std::string sink;
         r.SetReceiver(zv::CappedBodyReceiver(&sink, 10));
       },
       TransferError::kReceiverStopped, ""},
      {"abort check", "", [](HttpRequest& r) { r.SetAbortCheck([] { return true; }); },
       TransferError::kAborted, ""},
      {"upload source aborts", "",
       [](HttpRequest& r) {
         r.SetStreamedUpload([](char*, size_t) { return HttpRequest::kAbortUpload; },
                             [] { return false; });
       },
       TransferError::kAborted, ""},
      {"stall", "", [](HttpRequest& r) { r.SetStallTimeout(1); }, TransferError::kStalled,
       "too slow", "HYT00"},
      {"whole-request limit", "", [](HttpRequest& r) { r.SetTotalTimeout(1); },
       TransferError::kTimedOut, "", "HYT00"},
      {"redirect elsewhere", Reply(307, "", "Location: http://elsewhere.invalid/\r\n"),
       [](HttpRequest&) {}, TransferError::kRedirectRefused, "refused to follow the redirect"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    OneShotServer server(c.reply);
    auto request = HttpRequest::Make(server.url());
    ASSERT_TRUE(request.ok());
    c.set_up(*request);
    auto status = request->Perform();
    ASSERT_FALSE(status.ok());
    EXPECT_TRUE(status.status().IsIOError());
    EXPECT_EQ(KindOf(status.status()), c.kind) << status.status().message();
    EXPECT_NE(status.status().message().find(c.message_part), std::string::npos)
        << status.status().message();
    const zv::FailureDetail* detail = zv::FailureDetailOf(status.status());
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->sqlstate(), c.sqlstate);
  }
}

TEST(HttpRequest, RefusesTokensThatWouldInjectHeaders) {
  for (std::string_view token : {std::string_view("a\r\nX-Evil: 1"), std::string_view("a\nb"),
                                 std::string_view("a\0b", 3)}) {
    auto request = HttpRequest::Make("http://127.0.0.1:1/");
    ASSERT_TRUE(request.ok());
    const arrow::Status refused = request->AddBearerToken(token);
    EXPECT_EQ(refused.message(), "session token contains forbidden control characters");
    EXPECT_EQ(KindOf(refused), TransferError::kSetup);
  }
}

TEST(HttpRequest, ATlsPolicyThatCannotApplyFailsBeforeAnyTraffic) {
  zv::zv_tls_config tls;
  tls.min_version = 99;
  auto request = HttpRequest::Make("https://127.0.0.1:1/");
  ASSERT_TRUE(request.ok());
  request->SetTls(&tls);
  auto status = request->Perform();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(KindOf(status.status()), TransferError::kTlsConfiguration);
  EXPECT_EQ(status.status().message().rfind("TLS configuration: internal: bad min TLS", 0), 0u)
      << status.status().message();
}

TEST(WithTransferContext, PrefixesOnlyLibcurlsOwnWords) {
  auto refused = HttpRequest::Make("http://127.0.0.1:1/");
  ASSERT_TRUE(refused.ok());
  refused->SetConnection(nullptr, nullptr);
  const arrow::Status unreachable = refused->Perform().status();
  ASSERT_EQ(KindOf(unreachable), TransferError::kOther);
  const arrow::Status prefixed = zv::WithTransferContext(unreachable, "snapshot HTTP error: ");
  EXPECT_EQ(prefixed.message(), "snapshot HTTP error: " + unreachable.message());
  EXPECT_EQ(KindOf(prefixed), TransferError::kOther) << "the kind survives the prefix";
  ASSERT_NE(zv::FailureDetailOf(prefixed), nullptr);
  EXPECT_EQ(zv::FailureDetailOf(prefixed)->sqlstate(), "08001") << "so does libcurl's result";

  auto token = HttpRequest::Make("http://127.0.0.1:1/");
  ASSERT_TRUE(token.ok());
  const arrow::Status setup = token->AddBearerToken("a\nb");
  EXPECT_EQ(zv::WithTransferContext(setup, "p: ").message(), setup.message());
  const arrow::Status other = arrow::Status::Invalid("not a transfer");
  EXPECT_EQ(zv::WithTransferContext(other, "p: ").message(), "not a transfer");
  EXPECT_FALSE(zv::TransferErrorOf(other).has_value());
}

}  // namespace
