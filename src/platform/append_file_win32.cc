#include "platform/append_file.h"

#include <windows.h>

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
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
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

 private:
  std::vector<BYTE> user_;  // TOKEN_USER; the ACL entry points into it
  std::vector<BYTE> acl_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace

AppendFile AppendFile::Open(const std::string& path, unsigned long* error_code) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the end;
  // the share flags let other processes and the rotation rename or delete it.
  // A file that cannot be made owner-only is not created at all.
  OwnerOnlySecurity security;
  if (!security.Init()) {
    if (error_code) *error_code = GetLastError();
    return AppendFile();
  }
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         security.attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace zv
