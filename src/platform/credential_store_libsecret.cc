// Credential store on the Secret Service (GNOME Keyring, KWallet, KeePassXC)
// through libsecret. Items carry the attributes "target" and "name"; any item
// schema matches, so entries written with `secret-tool store --label=...
// target <uri> name Pwd:<user>` are found.

#include <libsecret/secret.h>

#include <cstdlib>
#include <cstring>

#include "platform/credential_store.h"

namespace zv {

namespace {

const SecretSchema* LookupSchema() {
  static const SecretSchema schema = {"org.zorvane.Credstore",
                                      SECRET_SCHEMA_DONT_MATCH_NAME,
                                      {
                                          {"target", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"name", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                      },
                                      0,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};
  return &schema;
}

// An unreachable Secret Service is "no store", like a missing registry key.
bool IsServiceUnavailable(const GError* error) {
  return error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR ||
         error->domain == G_SPAWN_ERROR;
}

}  // namespace

CredstoreResult ReadCredential(const char* target, const char* name, SecretString* out) {
  if (target == nullptr || name == nullptr || out == nullptr) return CredstoreResult::kNotFound;
  // Without a session bus libsecret would try to autolaunch one, which can
  // block or leave daemons behind inside a host process.
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus == nullptr || bus[0] == '\0') return CredstoreResult::kNotFound;

  GError* error = nullptr;
  gchar* secret = secret_password_lookup_sync(LookupSchema(), nullptr, &error, "target", target,
                                              "name", name, nullptr);
  if (error != nullptr) {
    const bool unavailable = IsServiceUnavailable(error);
    g_error_free(error);
    if (secret != nullptr) secret_password_free(secret);
    return unavailable ? CredstoreResult::kNotFound : CredstoreResult::kError;
  }
  if (secret == nullptr) return CredstoreResult::kNotFound;
  CredstoreResult result = CredstoreResult::kFound;
  try {
    out->Assign(secret);
  } catch (...) {
    result = CredstoreResult::kError;
  }
  secret_password_free(secret);  // zeroes the secret before freeing it
  return result;
}

}  // namespace zv
