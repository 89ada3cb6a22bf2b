#include "transport/http1_response_internal.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "util/ascii.h"

namespace zv {

namespace {

constexpr uint64_t kMaxContentLength = uint64_t{1} << 62;

arrow::Status Malformed(std::string_view what) {
  return arrow::Status::Invalid("malformed HTTP response: ", what);
}

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (ascii_iequals(TrimSpace(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

arrow::Result<bool> Http1Response::TakeLine(Bytes& in, size_t limit) {
  const auto* newline = static_cast<const uint8_t*>(std::memchr(in.data(), '\n', in.size()));
  const size_t take = newline != nullptr ? static_cast<size_t>(newline - in.data()) + 1 : in.size();
  if (line_.size() + take > limit) return Malformed("a header or chunk line is too long");
  line_.append(reinterpret_cast<const char*>(in.data()), take);
  in = in.subspan(take);
  if (newline == nullptr) return false;
  if (line_.size() < 2 || line_[line_.size() - 2] != '\r') {
    return Malformed("a line does not end with CRLF");
  }
  line_.resize(line_.size() - 2);
  return true;
}

arrow::Status Http1Response::ReadStatusLine(std::string_view line) {
  // "HTTP/1.x NNN reason"
  if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || (line[7] != '0' && line[7] != '1') ||
      line[8] != ' ' || (line.size() > 12 && line[12] != ' ')) {
    return Malformed("bad status line");
  }
  long status = 0;
  for (char c : line.substr(9, 3)) {
    if (c < '0' || c > '9') return Malformed("bad status code");
    status = status * 10 + (c - '0');
  }
  if (status < 100 || status > 599) return Malformed("bad status code");
  status_ = status;
  http11_ = line[7] == '1';
  return arrow::Status::OK();
}

arrow::Status Http1Response::ReadHeader(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos || line.front() == ' ' ||
      line.front() == '\t') {
    return Malformed("bad header line");
  }
  const std::string_view name = line.substr(0, colon);
  if (name.find_first_of(" \t") != std::string_view::npos) return Malformed("bad header name");
  const std::string_view value = TrimSpace(line.substr(colon + 1));
  if (ascii_iequals(name, "content-length")) {
    if (value.empty() || value.size() > 19 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return Malformed("bad Content-Length");
    }
    uint64_t length = 0;
    for (char c : value) length = length * 10 + static_cast<uint64_t>(c - '0');
    if (length > kMaxContentLength || (has_length_ && length != remaining_)) {
      return Malformed("bad Content-Length");
    }
    has_length_ = true;
    remaining_ = length;
  } else if (ascii_iequals(name, "transfer-encoding")) {
    if (!ascii_iequals(value, "chunked")) return Malformed("unsupported Transfer-Encoding");
    chunked_ = true;
  } else if (ascii_iequals(name, "location")) {
    location_ = std::string(value);
  } else if (ascii_iequals(name, "connection")) {
    if (HasToken(value, "close")) close_requested_ = true;
  }
  return arrow::Status::OK();
}

arrow::Status Http1Response::EndHead() {
  if (status_ >= 100 && status_ < 200) {
    // An interim response: the real one follows.
    if (status_ == 101) return Malformed("unexpected protocol switch");
    // The heads of all interim responses count against one bound: endless
    // ones would otherwise keep a reader waiting while bytes keep coming.
    const size_t head_bytes = head_bytes_;
    *this = Http1Response();
    head_bytes_ = head_bytes;
    return arrow::Status::OK();
  }
  // Both framings at once is how requests get smuggled: never reuse that.
  if (chunked_ && has_length_) close_requested_ = true;
  const bool no_body = status_ == 204 || status_ == 304;
  keep_alive_ = http11_ && !close_requested_ && (no_body || chunked_ || has_length_);
  if (no_body) {
    state_ = State::kDone;
  } else if (chunked_) {
    state_ = State::kChunkSize;
  } else if (has_length_) {
    state_ = remaining_ == 0 ? State::kDone : State::kLength;
  } else {
    state_ = State::kToClose;
  }
  return arrow::Status::OK();
}

arrow::Status Http1Response::ReadChunkSize(std::string_view line) {
  const std::string_view size = TrimSpace(line.substr(0, line.find(';')));
  if (size.empty() || size.size() > 15) return Malformed("bad chunk size");
  uint64_t value = 0;
  for (char c : size) {
    const int digit = ascii_hex_value(c);
    if (digit < 0) return Malformed("bad chunk size");
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  remaining_ = value;
  state_ = value == 0 ? State::kTrailers : State::kChunkData;
  return arrow::Status::OK();
}

Http1Response::Bytes Http1Response::TakeData(Bytes& in) {
  const size_t take = state_ == State::kToClose
                          ? in.size()
                          : static_cast<size_t>(std::min<uint64_t>(in.size(), remaining_));
  const Bytes data = in.first(take);
  in = in.subspan(take);
  Consumed(take);
  return data;
}

void Http1Response::Consumed(uint64_t count) {
  if (state_ == State::kToClose) return;
  remaining_ -= count;
  if (remaining_ == 0 && state_ == State::kLength) state_ = State::kDone;
  if (remaining_ == 0 && state_ == State::kChunkData) state_ = State::kChunkEnd;
}

void Http1Response::DataReceived(uint64_t count) { Consumed(std::min(count, data_ahead())); }

arrow::Result<Http1Response::Bytes> Http1Response::Next(Bytes& in) {
  while (!in.empty()) {
    switch (state_) {
      case State::kHead: {
        const size_t before = in.size();
        ARROW_ASSIGN_OR_RAISE(bool line, TakeLine(in, kMaxLineBytes));
        head_bytes_ += before - in.size();
        if (head_bytes_ > kMaxHeadBytes) return Malformed("the header section is too large");
        if (!line) break;
        const std::string text = std::move(line_);
        line_.clear();
        if (status_ == 0) {
          ARROW_RETURN_NOT_OK(ReadStatusLine(text));
        } else if (text.empty()) {
          ARROW_RETURN_NOT_OK(EndHead());
        } else {
          ARROW_RETURN_NOT_OK(ReadHeader(text));
        }
        break;
      }
      case State::kLength:
      case State::kToClose:
      case State::kChunkData: return TakeData(in);
      case State::kChunkSize:
      case State::kChunkEnd:
      case State::kTrailers: {
        const size_t before = in.size();
        ARROW_ASSIGN_OR_RAISE(bool line, TakeLine(in, kMaxLineBytes));
        if (state_ == State::kTrailers) {
          head_bytes_ += before - in.size();
          if (head_bytes_ > 2 * kMaxHeadBytes) return Malformed("the trailers are too large");
        }
        if (!line) break;
        const std::string text = std::move(line_);
        line_.clear();
        if (state_ == State::kChunkSize) {
          ARROW_RETURN_NOT_OK(ReadChunkSize(text));
        } else if (state_ == State::kChunkEnd) {
          if (!text.empty()) return Malformed("chunk data overruns its size");
          state_ = State::kChunkSize;
        } else if (text.empty()) {
          state_ = State::kDone;
        }
        break;
      }
      case State::kDone: return Bytes();
    }
  }
  return Bytes();
}

arrow::Status Http1Response::EndOfInput() {
  if (state_ == State::kToClose) {
    state_ = State::kDone;
    return arrow::Status::OK();
  }
  if (state_ == State::kDone) return arrow::Status::OK();
  return arrow::Status::IOError(state_ == State::kHead
                                    ? "the server closed the connection before its response"
                                    : "the response body ended before its announced length");
}

uint64_t Http1Response::data_ahead() const {
  switch (state_) {
    case State::kLength:
    case State::kChunkData: return remaining_;
    case State::kToClose: return UINT64_MAX;
    default: return 0;
  }
}

}  // namespace zv
