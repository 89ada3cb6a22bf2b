// Test helpers that differ per platform: environment variables, a scratch
// folder per test, reading files by UTF-8 path, and whether a file is closed
// to everyone but its owner (mode bits here, the DACL on Windows).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zv_test {

// The platform's error number when a file is created in a folder that does
// not exist (ENOENT; ERROR_PATH_NOT_FOUND on Windows).
// How a log names that failure.
#ifdef _WIN32
constexpr unsigned long kMissingFolderError = ERROR_PATH_NOT_FOUND;
constexpr const char* kMissingFolderText = "CreateFile error 3";
#else
constexpr unsigned long kMissingFolderError = 2;
constexpr const char* kMissingFolderText = "No such file or directory";
#endif

inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  // NOLINTNEXTLINE(concurrency-mt-unsafe): tests set it before their threads start
  setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");  // removes the variable
#else
  // NOLINTNEXTLINE(concurrency-mt-unsafe): tests unset it after their threads end
  unsetenv(name);
#endif
}

inline std::string ReadFile(const std::string& utf8_path) {
  std::ifstream in(FsPath(utf8_path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& utf8_path) {
  std::error_code ec;
  return std::filesystem::exists(FsPath(utf8_path), ec);
}

inline void WriteFile(const std::string& utf8_path, const std::string& text) {
  std::ofstream(FsPath(utf8_path), std::ios::binary) << text;
}

// A handle another program holds on a file, as a user tailing a log would:
// it shares reading, writing and deleting (a tail on Windows opens that way),
// and keeps reading the same file whatever name it has meanwhile.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& utf8_path) {
#ifdef _WIN32
    handle_ = CreateFileW(FsPath(utf8_path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    fd_ = ::open(utf8_path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  }
  ~HeldOpen() {
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

#ifdef _WIN32
  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
#else
  bool is_open() const { return fd_ >= 0; }
#endif

  // Everything from the current position to the end.
  std::string ReadRest() {
    std::string out;
    char buffer[65536];
    for (;;) {
#ifdef _WIN32
      DWORD n = 0;
      if (!::ReadFile(handle_, buffer, sizeof(buffer), &n, nullptr) || n == 0) break;
#else
      const ssize_t n = ::read(fd_, buffer, sizeof(buffer));
      if (n <= 0) break;
#endif
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

 private:
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
};

// An empty folder for the running test (UTF-8, '/'-separated below the
// temporary folder), removed again by the destructor.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = ::getpid();
#endif
    path_ = ::testing::TempDir() + prefix + std::to_string(pid) + "_" + info->name();
    std::filesystem::remove_all(FsPath(path_));
    std::filesystem::create_directories(FsPath(path_));
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(FsPath(path_), ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#ifdef _WIN32
inline std::wstring Wide(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

// Reads the current user's TOKEN_USER (and so its SID) into `buffer`.
inline bool ReadCurrentUser(std::string* buffer) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  buffer->resize(needed);
  const bool ok = GetTokenInformation(token, TokenUser, buffer->data(), needed, &needed);
  CloseHandle(token);
  return ok;
}
#endif

// True under Wine, which keeps no ACLs: it maps a DACL to the file's mode
// bits and synthesises one from them (always listing SYSTEM, never marked
// protected), and changing an existing file's DACL comes out wrong.
inline bool RunningUnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// "" when only the file's owner may open it, else what lets others in. On
// Windows the DACL must hold nothing but an allow entry for the current user
// (and, under Wine, its SYSTEM entry).
inline std::string OwnerOnlyProblem(const std::string& utf8_path) {
#ifdef _WIN32
  HANDLE h = CreateFileW(Wide(utf8_path).c_str(), READ_CONTROL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "cannot open: error " + std::to_string(GetLastError());
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   &dacl, nullptr, &descriptor);
  CloseHandle(h);
  if (rc != ERROR_SUCCESS) return "GetSecurityInfo error " + std::to_string(rc);
  std::string problem;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ACL_SIZE_INFORMATION size{};
  std::string user;
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  AllocateAndInitializeSid(&nt_authority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                           &system);
  bool owner_can_write = false;
  if (dacl == nullptr) {
    problem = "no DACL: everyone has access";
  } else if (!RunningUnderWine() &&
             (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
              !(control & SE_DACL_PROTECTED))) {
    problem = "the DACL takes entries from the folder";
  } else if (!GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation) ||
             !ReadCurrentUser(&user)) {
    problem = "cannot read the DACL or the current user";
  } else {
    PSID owner = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    for (DWORD i = 0; i < size.AceCount && problem.empty(); ++i) {
      void* ace = nullptr;
      GetAce(dacl, i, &ace);
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      PSID sid = reinterpret_cast<PSID>(&allowed->SidStart);
      if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;  // denials let no one in
      if (EqualSid(sid, owner)) {
        owner_can_write = (allowed->Mask & (FILE_GENERIC_READ | FILE_GENERIC_WRITE)) ==
                          (FILE_GENERIC_READ | FILE_GENERIC_WRITE);
      } else if (!(RunningUnderWine() && EqualSid(sid, system))) {
        problem = "entry " + std::to_string(i) + " lets another account in";
      }
    }
    if (problem.empty() && !owner_can_write) problem = "the owner cannot read and write it";
  }
  FreeSid(system);
  LocalFree(descriptor);
  return problem;
#else
  struct stat st;
  if (::stat(utf8_path.c_str(), &st) != 0) return "cannot stat";
  const unsigned mode = st.st_mode & 0777;
  return mode == 0600 ? "" : "mode " + std::to_string(mode);
#endif
}

// Lets new files be readable by others unless their creator says otherwise
// (umask 022 here; on Windows a folder's inherited entries do that already).
class LaxCreationMask {
 public:
#ifdef _WIN32
  LaxCreationMask() = default;
#else
  LaxCreationMask() : old_(::umask(022)) {}
  ~LaxCreationMask() { ::umask(old_); }

 private:
  mode_t old_;
#endif
};

// Opens the file to every local user, as a folder's default would.
inline void MakeReadableByOthers(const std::string& utf8_path) {
#ifdef _WIN32
  // A null DACL grants everyone everything.
  SetNamedSecurityInfoW(Wide(utf8_path).data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr);
#else
  ::chmod(utf8_path.c_str(), 0644);
#endif
}

}  // namespace zv_test
