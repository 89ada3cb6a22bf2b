#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zv {

// Paths are UTF-8 (converted to UTF-16 on Windows; invalid UTF-8 names no
// file there).

// A file opened for appending, created when missing and then readable and
// writable by its owner only (mode 0600 on POSIX, an ACL granting the current
// user alone on Windows; a file of ours found open to others is closed to
// them), that other processes of that user (and our own log rotation) may
// read, write, rename or delete while it is open.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(AppendFile&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
  AppendFile& operator=(AppendFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = kInvalid;
    }
    return *this;
  }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // On failure the result is not open and *error_code holds the platform's
  // error number (errno here, GetLastError on Windows).
  static AppendFile Open(const std::string& path, unsigned long* error_code);
  // How a failed Open reads in a message: errno's text on POSIX, the
  // CreateFile error number on Windows.
  static std::string OpenErrorText(unsigned long error_code);

  bool is_open() const { return handle_ != kInvalid; }
  // One write call; returns the bytes written, or -1 on failure.
  int64_t Write(const char* data, size_t size);
  // Current size of the file, 0 when it cannot be read.
  uint64_t Size() const;
  void Close();

 private:
  static constexpr intptr_t kInvalid = -1;
  explicit AppendFile(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = kInvalid;
};

// Renames a file, also while others hold it open with sharing; never replaces
// an existing `to`. False on failure.
bool RenameFile(const std::string& from, const std::string& to);

// Deletes a file, also while others hold it open with sharing, and frees its
// name at once (Windows keeps an open file's name until its last handle
// closes, so it is moved aside first). False on failure.
bool RemoveFile(const std::string& path);

}  // namespace zv
