// Test helper: looks up one credential-store entry and prints the outcome
// ("found <secret>", "not-found" or "error"), so the Python tests can check the
// store against entries written by another tool.

#include <cstdio>

#include "platform/credential_store.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <target> <name>\n", argv[0]);
    return 2;
  }
  zv::SecretString secret;
  switch (zv::ReadCredential(argv[1], argv[2], &secret)) {
    case zv::CredstoreResult::kFound: std::printf("found %s\n", secret.c_str()); break;
    case zv::CredstoreResult::kNotFound: std::printf("not-found\n"); break;
    case zv::CredstoreResult::kError: std::printf("error\n"); break;
  }
  return 0;
}
