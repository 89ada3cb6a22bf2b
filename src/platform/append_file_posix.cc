#include "platform/append_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv {

AppendFile AppendFile::Open(const std::string& path, unsigned long* error_code) {
  // POSIX files are always shareable for reading, writing, renaming and
  // unlinking; O_APPEND keeps concurrent writers from overwriting each other.
  // Logs and traces hold SQL text with its literals: owner-only from the
  // first byte, and a file of ours that an earlier run left readable by others
  // is closed to them before anything more is written.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (error_code) *error_code = static_cast<unsigned long>(errno);
    return AppendFile();
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
      (st.st_mode & 077) != 0) {
    (void)::fchmod(fd, st.st_mode & 0700);
  }
  if (error_code) *error_code = 0;
  return AppendFile(fd);
}

std::string AppendFile::OpenErrorText(unsigned long error_code) {
  // strerror_r (the GNU form, which returns the text) rather than strerror,
  // whose buffer another thread's call may overwrite.
  char buffer[256];
  return ::strerror_r(static_cast<int>(error_code), buffer, sizeof(buffer));
}

int64_t AppendFile::Write(const char* data, size_t size) {
  if (!is_open()) return -1;
  ssize_t n;
  do {
    n = ::write(static_cast<int>(handle_), data, size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int64_t>(n);
}

uint64_t AppendFile::Size() const {
  struct stat st;
  if (!is_open() || ::fstat(static_cast<int>(handle_), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void AppendFile::Close() {
  if (is_open()) {
    ::close(static_cast<int>(handle_));
    handle_ = kInvalid;
  }
}

bool RenameFile(const std::string& from, const std::string& to) {
  // rename() would replace `to`; the check keeps the Windows semantics (the
  // rotation only ever moves onto a name it has just freed).
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace zv
