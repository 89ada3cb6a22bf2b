#include "platform/append_file.h"

#include <windows.h>

namespace zv::platform {

namespace {
HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

AppendFile::AppendFile(AppendFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = kInvalid;
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kInvalid;
  }
  return *this;
}

AppendFile AppendFile::Open(const std::string& path, unsigned long* error_code) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the end;
  // the share flags let other processes and the rotation rename or delete it.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error_code) *error_code = GetLastError();
    return AppendFile();
  }
  if (error_code) *error_code = 0;
  return AppendFile(reinterpret_cast<intptr_t>(h));
}

int64_t AppendFile::Write(const char* data, size_t size) {
  if (!is_open()) return -1;
  DWORD written = 0;
  if (!WriteFile(AsHandle(handle_), data, static_cast<DWORD>(size), &written, nullptr)) {
    return -1;
  }
  return static_cast<int64_t>(written);
}

uint64_t AppendFile::Size() const {
  LARGE_INTEGER size;
  if (!is_open() || !GetFileSizeEx(AsHandle(handle_), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

void AppendFile::Close() {
  if (is_open()) {
    CloseHandle(AsHandle(handle_));
    handle_ = kInvalid;
  }
}

}  // namespace zv::platform
