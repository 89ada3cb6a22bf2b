#include "platform/append_file.h"

#include <windows.h>

#include <aclapi.h>

#include <atomic>
#include <memory>
#include <vector>

namespace zv {

namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr) CloseHandle(h);
  }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// UTF-8 to UTF-16; false (with GetLastError set) for invalid UTF-8.
bool ToUtf16(const std::string& utf8, std::wstring* out) {
  if (utf8.empty()) {
    out->clear();
    return true;
  }
  const int size = static_cast<int>(utf8.size());
  const int needed =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (needed <= 0) return false;
  out->assign(static_cast<size_t>(needed), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, out->data(),
                             needed) > 0;
}

// Security attributes for a new file that only the current user may open: a
// protected DACL (nothing inherited from the folder) with a single entry
// granting that user full access. Logs and traces hold SQL text with its
// literals, and a folder's default ACL usually lets every local user read.
class OwnerOnlySecurity {
 public:
  // False (with GetLastError set) when the user's SID or the ACL cannot be built.
  bool Init() {
    HANDLE raw_token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw_token)) return false;
    OwnedHandle token(raw_token);
    DWORD needed = 0;
    GetTokenInformation(raw_token, TokenUser, nullptr, 0, &needed);
    if (needed == 0) return false;
    user_.resize(needed);
    if (!GetTokenInformation(raw_token, TokenUser, user_.data(), needed, &needed)) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
    const DWORD acl_size =
        sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    acl_.resize(acl_size);
    PACL acl = reinterpret_cast<PACL>(acl_.data());
    if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return false;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
  PSID user() { return reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid; }
  PACL acl() { return reinterpret_cast<PACL>(acl_.data()); }

 private:
  std::vector<BYTE> user_;  // TOKEN_USER; the ACL entry points into it
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

// A file that already existed gets the same owner-only DACL when it is ours;
// one of another owner is left as it is (and we could not change it anyway).
void CloseToOthersIfOurs(const std::wstring& path, OwnerOnlySecurity& security) {
  HANDLE raw = CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (raw == INVALID_HANDLE_VALUE) return;
  OwnedHandle file(raw);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(raw, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return;
  }
  if (owner != nullptr && EqualSid(owner, security.user())) {
    SetSecurityInfo(raw, SE_FILE_OBJECT,
                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                    nullptr, security.acl(), nullptr);
  }
  LocalFree(descriptor);
}

}  // namespace

AppendFile AppendFile::Open(const std::string& path, unsigned long* error_code) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the end;
  // the share flags let other processes and the rotation rename or delete it.
  // A file that cannot be made owner-only is not created at all.
  OwnerOnlySecurity security;
  std::wstring wide_path;
  if (!security.Init() || !ToUtf16(path, &wide_path)) {
    if (error_code) *error_code = GetLastError();
    return AppendFile();
  }
  HANDLE h = CreateFileW(wide_path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         security.attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (error_code) *error_code = GetLastError();
    return AppendFile();
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) CloseToOthersIfOurs(wide_path, security);
  if (error_code) *error_code = 0;
  return AppendFile(reinterpret_cast<intptr_t>(h));
}

std::string AppendFile::OpenErrorText(unsigned long error_code) {
  return "CreateFile error " + std::to_string(error_code);
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

bool RenameFile(const std::string& from, const std::string& to) {
  std::wstring wide_from, wide_to;
  return ToUtf16(from, &wide_from) && ToUtf16(to, &wide_to) &&
         MoveFileExW(wide_from.c_str(), wide_to.c_str(), 0);
}

bool RemoveFile(const std::string& path) {
  std::wstring wide;
  if (!ToUtf16(path, &wide)) return false;
  // A deleted file that is still open keeps its name until its last handle
  // closes, and that name could not be reused meanwhile (a reader tailing the
  // oldest backup would stop the rotation for good): move it to a name of its
  // own first, then delete it there.
  static std::atomic<unsigned> counter{0};
  const std::wstring aside = wide + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(counter.fetch_add(1)) + L".deleted";
  if (!MoveFileExW(wide.c_str(), aside.c_str(), 0)) return DeleteFileW(wide.c_str()) != 0;
  if (DeleteFileW(aside.c_str())) return true;
  MoveFileExW(aside.c_str(), wide.c_str(), 0);
  return false;
}

}  // namespace zv
