#pragma once

#include "util/secret_string.h"

namespace zv {

enum class CredstoreResult { kFound = 0, kNotFound = 1, kError = 3 };

// Reads a secret stored by another tool for (`target`, `name`): the target is
// the database uri exactly as given, the name "Pwd:<user>" or
// "Token:<user|default>". The store is the current user's (the Secret Service
// keyring here, the registry with DPAPI on Windows). Read-only; logs nothing.
CredstoreResult ReadCredential(const char* target, const char* name, SecretString* out);

}  // namespace zv
