#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zv {

// Overwrites memory with zeros in a way the compiler may not elide.
inline void SecureZero(void* data, size_t size) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size--) *p++ = 0;
}

// Zeroes a plain string's bytes when the scope ends: for request and response
// bodies that carry credentials but must be std::string for the APIs they
// pass through.
class ZeroOnScopeExit {
 public:
  explicit ZeroOnScopeExit(std::string& text) : text_(text) {}
  ~ZeroOnScopeExit() { SecureZero(text_.data(), text_.size()); }
  ZeroOnScopeExit(const ZeroOnScopeExit&) = delete;
  ZeroOnScopeExit& operator=(const ZeroOnScopeExit&) = delete;

 private:
  std::string& text_;
};

// An optional text holding a secret (password, token, proxy password). Its
// bytes are zeroed before the memory is freed or reused, including when the
// value is replaced or moved away. Copies must be made explicitly.
class SecretString {
 public:
  SecretString() = default;
  explicit SecretString(std::string_view value) { Assign(value); }
  ~SecretString() { Wipe(); }

  SecretString(SecretString&& other) noexcept { TakeFrom(other); }
  SecretString& operator=(SecretString&& other) noexcept {
    if (this != &other) {
      Wipe();
      TakeFrom(other);
    }
    return *this;
  }
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;

  SecretString Copy() const {
    SecretString copy;
    if (set_) copy.Assign(value_);
    return copy;
  }

  void Assign(std::string_view value) {
    Wipe();
    // Reserving after the wipe means a reallocation only ever frees a buffer
    // that was already zeroed.
    value_.reserve(value.size());
    value_.assign(value);
    set_ = true;
  }
  void Reset() {
    Wipe();
    set_ = false;
  }

  bool has_value() const { return set_; }
  bool empty() const { return !set_ || value_.empty(); }
  // Null when unset.
  const char* c_str() const { return set_ ? value_.c_str() : nullptr; }
  std::string_view view() const { return value_; }

 private:
  void Wipe() {
    if (!value_.empty()) SecureZero(value_.data(), value_.size());
    value_.clear();
  }
  void TakeFrom(SecretString& other) {
    // std::string's move may leave short values in the source's inline
    // buffer, so copy and wipe the source instead.
    set_ = other.set_;
    value_.reserve(other.value_.size());
    value_.assign(other.value_);
    other.Reset();
  }

  std::string value_;
  bool set_ = false;
};

}  // namespace zv
