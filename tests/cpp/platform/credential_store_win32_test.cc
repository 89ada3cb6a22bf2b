// The registry and DPAPI credential store, against entries written the way a
// user's tool writes them: a value "<uri>|<name>" under
// HKCU\Software\Zorvane\Credstore holding CryptProtectData output.
#include <windows.h>
#include <dpapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/credential_store.h"
#include "platform/scratch_files.h"

namespace {

using zv::CredstoreResult;
using zv_test::Wide;

constexpr wchar_t kStoreKey[] = L"Software\\Zorvane\\Credstore";

// DPAPI output for the current user; with `entropy` the blob only opens for
// a reader that passes the same entropy, which the store never does.
std::string Protect(const std::string& plain, const char* entropy = nullptr) {
  DATA_BLOB in{static_cast<DWORD>(plain.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
  DATA_BLOB extra{entropy ? static_cast<DWORD>(strlen(entropy)) : 0u,
                  reinterpret_cast<BYTE*>(const_cast<char*>(entropy))};
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, nullptr, entropy ? &extra : nullptr, nullptr, nullptr,
                        CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    ADD_FAILURE() << "CryptProtectData error " << GetLastError();
    return {};
  }
  std::string blob(reinterpret_cast<const char*>(out.pbData), out.cbData);
  LocalFree(out.pbData);
  return blob;
}

struct Entry {
  std::string value_name;  // UTF-8, converted as a user's tool would
  DWORD type;
  std::string data;
};

struct Lookup {
  CredstoreResult result;
  std::string secret;
};

class CredentialStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey); }

  // False when the registry refuses the entry (a value name over its limit).
  static bool Store(const Entry& entry) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kStoreKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const LONG rc = RegSetValueExW(key, Wide(entry.value_name).c_str(), 0, entry.type,
                                   reinterpret_cast<const BYTE*>(entry.data.data()),
                                   static_cast<DWORD>(entry.data.size()));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
  }

  static Lookup Read(const std::string& target, const std::string& name) {
    zv::SecretString secret;
    const CredstoreResult result = zv::ReadCredential(target.c_str(), name.c_str(), &secret);
    return {result, secret.has_value() ? std::string(secret.view()) : std::string()};
  }
};

TEST_F(CredentialStoreTest, AnswersEachKindOfEntry) {
  const std::string uri = "zorvane://cp.example:8080/";
  const std::string long_secret(100000, 's');
  const std::string long_uri = "zorvane://" + std::string(20000, 'h') + "/";
  const std::string non_ascii_uri =
      "zorvane://h\xc3\xb4st:8080/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf";  // hôst, データ
  const std::string non_ascii_user = "Pwd:jos\xc3\xa9";                   // josé
  const std::string non_ascii_secret = "p\xc3\xa4sswort\xe2\x9c\x93";     // pässwort✓
  const std::string blob = Protect("hunter2");
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    std::string target;
    std::string name;
    CredstoreResult result;
    std::string secret;
  } cases[] = {
      {"password",
       {{uri + "|Pwd:alice", REG_BINARY, blob}},
       uri,
       "Pwd:alice",
       CredstoreResult::kFound,
       "hunter2"},
      {"token without a user",
       {{uri + "|Token:default", REG_BINARY, Protect("tok")}},
       uri,
       "Token:default",
       CredstoreResult::kFound,
       "tok"},
      {"another user's value",
       {{uri + "|Pwd:alice", REG_BINARY, blob}},
       uri,
       "Pwd:bob",
       CredstoreResult::kNotFound,
       ""},
      {"the uri without its trailing slash",
       {{uri + "|Pwd:alice", REG_BINARY, blob}},
       "zorvane://cp.example:8080",
       "Pwd:alice",
       CredstoreResult::kNotFound,
       ""},
      {"stored as a string",
       {{uri + "|Pwd:alice", REG_SZ, blob}},
       uri,
       "Pwd:alice",
       CredstoreResult::kNotFound,
       ""},
      {"stored as a number",
       {{uri + "|Pwd:alice", REG_DWORD, std::string(4, '\1')}},
       uri,
       "Pwd:alice",
       CredstoreResult::kNotFound,
       ""},
      {"empty blob",
       {{uri + "|Pwd:alice", REG_BINARY, ""}},
       uri,
       "Pwd:alice",
       CredstoreResult::kNotFound,
       ""},
      {"not DPAPI data",
       {{uri + "|Pwd:alice", REG_BINARY, "plain text, not protected"}},
       uri,
       "Pwd:alice",
       CredstoreResult::kError,
       ""},
      {"cut DPAPI data",
       {{uri + "|Pwd:alice", REG_BINARY, blob.substr(0, blob.size() / 2)}},
       uri,
       "Pwd:alice",
       CredstoreResult::kError,
       ""},
      {"protected with entropy the store cannot give",
       {{uri + "|Pwd:alice", REG_BINARY, Protect("hunter2", "other tool")}},
       uri,
       "Pwd:alice",
       CredstoreResult::kError,
       ""},
      {"non-ASCII uri, user and secret",
       {{non_ascii_uri + "|" + non_ascii_user, REG_BINARY, Protect(non_ascii_secret)}},
       non_ascii_uri,
       non_ascii_user,
       CredstoreResult::kFound,
       non_ascii_secret},
      {"invalid UTF-8 never matches its replacement character",
       {{"zorvane://h\xef\xbf\xbdst/|Pwd:a", REG_BINARY, blob}},
       "zorvane://h\xffst/",
       "Pwd:a",
       CredstoreResult::kNotFound,
       ""},
      {"very long secret",
       {{uri + "|Pwd:alice", REG_BINARY, Protect(long_secret)}},
       uri,
       "Pwd:alice",
       CredstoreResult::kFound,
       long_secret},
      {"uri past the registry's name limit",
       {},
       long_uri,
       "Pwd:alice",
       CredstoreResult::kNotFound,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeW(HKEY_CURRENT_USER, kStoreKey);
    for (const Entry& entry : c.entries) ASSERT_TRUE(Store(entry));
    const Lookup got = Read(c.target, c.name);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.secret, c.secret);
  }
  EXPECT_FALSE(Store({long_uri + "|Pwd:alice", REG_BINARY, blob})) << "the registry refuses it";
}

TEST_F(CredentialStoreTest, NoStoreKeyOrNoArgumentsIsNotFound) {
  EXPECT_EQ(Read("zorvane://cp/", "Pwd:alice").result, CredstoreResult::kNotFound);
  zv::SecretString out;
  EXPECT_EQ(zv::ReadCredential(nullptr, "Pwd:a", &out), CredstoreResult::kNotFound);
  EXPECT_EQ(zv::ReadCredential("u", nullptr, &out), CredstoreResult::kNotFound);
  EXPECT_EQ(zv::ReadCredential("u", "Pwd:a", nullptr), CredstoreResult::kNotFound);
  EXPECT_FALSE(out.has_value());
}

TEST_F(CredentialStoreTest, TheReturnedSecretIsZeroedWhenReleased) {
  const std::string secret(300, 'z');
  ASSERT_TRUE(Store({"u|Pwd:a", REG_BINARY, Protect(secret)}));
  zv::SecretString out;
  ASSERT_EQ(zv::ReadCredential("u", "Pwd:a", &out), CredstoreResult::kFound);
  ASSERT_EQ(out.view(), secret);
  const char* bytes = out.c_str();
  out.Reset();
  for (size_t i = 0; i < secret.size(); ++i) ASSERT_EQ(bytes[i], '\0') << i;
}

}  // namespace
