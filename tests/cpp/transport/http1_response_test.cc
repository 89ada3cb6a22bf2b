#include "transport/http1_response_internal.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using zv::Http1Response;

struct Read {
  arrow::Status status;
  std::string body;
  bool complete = false;
  bool reusable = false;
  long code = 0;
};

// Feeds `wire` `piece` bytes at a time, then ends the input when asked.
Read ReadResponse(std::string_view wire, size_t piece, bool end_of_input = false) {
  Http1Response response;
  Read read;
  for (size_t at = 0; at < wire.size() && !response.complete(); at += piece) {
    const std::string_view part = wire.substr(at, piece);
    Http1Response::Bytes in(reinterpret_cast<const uint8_t*>(part.data()), part.size());
    while (!in.empty() && !response.complete()) {
      auto data = response.Next(in);
      if (!data.ok()) {
        read.status = data.status();
        return read;
      }
      read.body.append(reinterpret_cast<const char*>(data->data()), data->size());
    }
  }
  if (end_of_input) read.status = response.EndOfInput();
  read.complete = response.complete();
  read.reusable = response.reusable();
  read.code = response.status();
  return read;
}

TEST(Http1Response, EveryFramingReadsTheSameBodyWhateverThePieces) {
  struct Case {
    std::string wire;
    bool end_of_input;
    bool reusable;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello world", false, true},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-length:11\r\n\r\nhello world",
       false, true},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n"
       "6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n",
       false, true},
      {"HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 11\r\n\r\nhello world",
       false, false},
      {"HTTP/1.0 200 OK\r\nContent-Type: x\r\n\r\nhello world", true, false},
  };
  for (const Case& c : cases) {
    for (size_t piece : {c.wire.size(), size_t{1}, size_t{3}, size_t{17}}) {
      SCOPED_TRACE(c.wire + " in pieces of " + std::to_string(piece));
      const Read read = ReadResponse(c.wire, piece, c.end_of_input);
      ASSERT_TRUE(read.status.ok()) << read.status.ToString();
      EXPECT_EQ(read.body, "hello world");
      EXPECT_EQ(read.code, 200);
      EXPECT_TRUE(read.complete);
      EXPECT_EQ(read.reusable, c.reusable);
    }
  }
}

TEST(Http1Response, HostileOrBrokenResponsesAreRefused) {
  const std::string long_line(Http1Response::kMaxLineBytes, 'a');
  std::string many_headers = "HTTP/1.1 200 OK\r\n";
  while (many_headers.size() <= Http1Response::kMaxHeadBytes) many_headers += "X-A: b\r\n";
  std::string endless_interim;
  while (endless_interim.size() <= Http1Response::kMaxHeadBytes) {
    endless_interim += "HTTP/1.1 100 Continue\r\n\r\n";
  }
  const std::string cases[] = {
      "HTTP/2 200 OK\r\n\r\n",
      "HTTP/1.1 20x OK\r\n\r\n",
      "HTTP/1.1 200 OK\nContent-Length: 1\n\n",
      "HTTP/1.1 101 Switching\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
      "HTTP/1.1 200 OK\r\n folded: header\r\n\r\n",
      "HTTP/1.1 200 OK\r\nX-Long: " + long_line + "\r\n\r\n",
      many_headers,
      endless_interim,
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n",
  };
  for (const std::string& wire : cases) {
    SCOPED_TRACE(wire.substr(0, 80));
    const Read read = ReadResponse(wire, 7);
    EXPECT_TRUE(read.status.IsInvalid()) << read.status.ToString();
  }
  // Cut short: a body shorter than announced, or no response at all.
  for (std::string_view wire : {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort",
                                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\nshort",
                                "HTTP/1.1 200 OK\r\nContent-", ""}) {
    SCOPED_TRACE(wire);
    const Read read = ReadResponse(wire, 4, /*end_of_input=*/true);
    EXPECT_TRUE(read.status.IsIOError()) << read.status.ToString();
    EXPECT_FALSE(read.complete);
  }
}

// Body bytes received outside Next (straight into a consumer's memory) count
// against the chunk, and the framing after them still parses.
TEST(Http1Response, DataReceivedDirectlyAdvancesTheChunk) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n";
  Http1Response response;
  Http1Response::Bytes in(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  ASSERT_TRUE(response.Next(in).ok());
  EXPECT_EQ(response.data_ahead(), 10u);
  response.DataReceived(10);
  EXPECT_EQ(response.data_ahead(), 0u);
  const std::string rest = "\r\n0\r\n\r\n";
  Http1Response::Bytes tail(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
  auto data = response.Next(tail);
  ASSERT_TRUE(data.ok());
  EXPECT_TRUE(data->empty());
  EXPECT_TRUE(response.reusable());
}

}  // namespace
