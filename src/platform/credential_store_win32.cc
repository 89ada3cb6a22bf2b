// Credential store in the current user's registry: values under
// HKCU\Software\Zorvane\Credstore named "<target>|<name>" (UTF-16), holding the
// secret's UTF-8 bytes protected with the user's DPAPI key.

#include <windows.h>
#include <dpapi.h>

#include <string>
#include <vector>

#include "platform/credential_store.h"

namespace zv {

namespace {

// Invalid UTF-8 is refused rather than replaced with U+FFFD, which could
// name another entry.
bool AppendUtf16(const char* utf8, std::wstring* out) {
  const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (needed <= 0) return false;
  std::wstring converted(static_cast<size_t>(needed), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, converted.data(), needed) <= 0) {
    return false;
  }
  converted.resize(static_cast<size_t>(needed) - 1);  // drop the terminator
  out->append(converted);
  return true;
}

class RegistryKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  HKEY get() const { return key_; }
  void Close() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_;
};

}  // namespace

CredstoreResult ReadCredential(const char* target, const char* name, SecretString* out) {
  if (target == nullptr || name == nullptr || out == nullptr) return CredstoreResult::kNotFound;
  HKEY raw_key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Zorvane\\Credstore", 0, KEY_READ, &raw_key) !=
      ERROR_SUCCESS) {
    return CredstoreResult::kNotFound;
  }
  RegistryKey key(raw_key);

  std::wstring value_name;
  if (!AppendUtf16(target, &value_name)) return CredstoreResult::kNotFound;
  value_name.push_back(L'|');
  if (!AppendUtf16(name, &value_name)) return CredstoreResult::kNotFound;

  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      type != REG_BINARY || size == 0) {
    return CredstoreResult::kNotFound;
  }
  std::vector<BYTE> protected_bytes(size, 0);
  const LONG read = RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                                     protected_bytes.data(), &size);
  key.Close();
  if (read != ERROR_SUCCESS) return CredstoreResult::kError;

  DATA_BLOB in{size, protected_bytes.data()};
  DATA_BLOB plain{0, nullptr};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &plain)) {
    return CredstoreResult::kError;
  }
  CredstoreResult result = CredstoreResult::kFound;
  try {
    out->Assign(std::string_view(reinterpret_cast<const char*>(plain.pbData), plain.cbData));
  } catch (...) {
    result = CredstoreResult::kError;
  }
  SecureZero(plain.pbData, plain.cbData);
  LocalFree(plain.pbData);
  return result;
}

}  // namespace zv
