#pragma once

#include <curl/curl.h>

#include <cstring>
#include <memory>

#include "util/secret_string.h"

namespace zv {

// Owners of libcurl handles: one owner each, movable, never copied.
struct CurlEasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// Header lists carry bearer tokens and connect-to entries; their texts are
// zeroed before libcurl frees them.
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const {
    for (curl_slist* node = list; node != nullptr; node = node->next) {
      if (node->data != nullptr) SecureZero(node->data, std::strlen(node->data));
    }
    curl_slist_free_all(list);
  }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

// Appends to an owned header list; false when libcurl could not allocate (the
// list keeps what it had).
inline bool AppendToSlist(CurlSlist& list, const char* text) {
  curl_slist* grown = curl_slist_append(list.get(), text);
  if (grown == nullptr) return false;
  (void)list.release();
  list.reset(grown);
  return true;
}

}  // namespace zv
