// Reads one HTTP/1.1 response as its bytes arrive: the status line and
// headers, then the framing of the body (Content-Length, chunked, or up to
// the end of the connection). Every byte is the server's: lengths are checked
// before anything trusts them, and the head and the framing lines are
// bounded, so a hostile response can only be refused.
#pragma once

#include <arrow/result.h>
#include <arrow/status.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zv {

class Http1Response {
 public:
  static constexpr size_t kMaxHeadBytes = 65536;
  static constexpr size_t kMaxLineBytes = 4096;
  using Bytes = std::span<const uint8_t>;

  // Takes the framing bytes at the front of `in` and returns the body data
  // that follows them (removed from `in`); empty when `in` held no body data
  // before it ran out or the response ended. Interim (1xx) responses are
  // skipped. A malformed response is an Invalid status.
  arrow::Result<Bytes> Next(Bytes& in);
  // The connection ended. Completes a body that runs to the end of the
  // connection; anything else unfinished is a truncated response.
  arrow::Status EndOfInput();

  bool head_complete() const { return state_ != State::kHead; }
  long status() const { return status_; }
  // The Location header of the response (empty when it has none).
  const std::string& location() const { return location_; }
  bool complete() const { return state_ == State::kDone; }
  // The connection may carry another request once this response is complete.
  bool reusable() const { return complete() && keep_alive_; }
  // Body bytes that may be received straight into the consumer's memory now:
  // what remains of the current chunk or of the Content-Length; 0 while
  // framing comes next.
  uint64_t data_ahead() const;
  // `count` (at most data_ahead()) body bytes were received outside Next.
  void DataReceived(uint64_t count);

 private:
  enum class State {
    kHead,
    kLength,
    kToClose,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailers,
    kDone
  };

  arrow::Result<bool> TakeLine(Bytes& in, size_t limit);
  arrow::Status EndHead();
  arrow::Status ReadStatusLine(std::string_view line);
  arrow::Status ReadHeader(std::string_view line);
  arrow::Status ReadChunkSize(std::string_view line);
  Bytes TakeData(Bytes& in);
  void Consumed(uint64_t count);

  State state_ = State::kHead;
  std::string line_;  // a framing line being assembled
  std::string location_;
  size_t head_bytes_ = 0;
  long status_ = 0;
  bool http11_ = false;
  bool keep_alive_ = false;
  bool chunked_ = false;
  bool close_requested_ = false;
  bool has_length_ = false;
  uint64_t remaining_ = 0;  // of the Content-Length or the current chunk
};

}  // namespace zv
