// Ownership of an Arrow C stream handed over by a host or produced here.
#pragma once

#include <arrow/c/abi.h>

namespace zv {

// Owns one ArrowArrayStream and releases it exactly once. Taking the stream
// from a host zeroes the host's structure, so the producer has one owner.
class OwnedArrowStream {
 public:
  OwnedArrowStream() = default;
  ~OwnedArrowStream() { Reset(); }
  OwnedArrowStream(OwnedArrowStream&& other) noexcept { MoveFrom(other.stream_); }
  OwnedArrowStream& operator=(OwnedArrowStream&& other) noexcept {
    if (this != &other) {
      Reset();
      MoveFrom(other.stream_);
    }
    return *this;
  }
  OwnedArrowStream(const OwnedArrowStream&) = delete;
  OwnedArrowStream& operator=(const OwnedArrowStream&) = delete;

  // Takes the host's stream over; the host's structure is zeroed.
  static OwnedArrowStream Adopt(ArrowArrayStream* source) {
    OwnedArrowStream owned;
    owned.MoveFrom(*source);
    return owned;
  }

  bool bound() const { return stream_.release != nullptr; }
  // For APIs that move the stream out (they zero its release member).
  ArrowArrayStream* get() { return &stream_; }

  void Reset() {
    if (stream_.release != nullptr) stream_.release(&stream_);
    stream_ = ArrowArrayStream{};
  }

 private:
  void MoveFrom(ArrowArrayStream& source) {
    stream_ = source;
    source = ArrowArrayStream{};
  }

  ArrowArrayStream stream_{};
};

// True when the stream can be driven: all three callbacks present.
inline bool IsUsableStream(const ArrowArrayStream* stream) {
  return stream != nullptr && stream->get_schema != nullptr && stream->get_next != nullptr &&
         stream->release != nullptr;
}

}  // namespace zv
