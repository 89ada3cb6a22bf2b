// The parse trees of recently seen statement texts, so that a host repeating
// a catalog query (a browser refreshing, a benchmark, a tool polling) does not
// pay the parser and the JSON decoding again each time.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace zv_sql::internal {

using ParseTree = std::shared_ptr<const nlohmann::json>;

// Least recently used first out. A tree depends on its text alone, so
// entries never go stale; the bounds on entries and text length bound the
// memory. Safe to use from any thread.
class ParseTreeCache {
 public:
  ParseTreeCache(size_t max_entries, size_t max_text);

  // The tree of `text`, or null when it is not held.
  ParseTree find(std::string_view text);
  // Keeps `tree` as the tree of `text`, unless the text is too long to keep.
  void keep(std::string_view text, ParseTree tree);

 private:
  struct Entry {
    ParseTree tree;
    std::list<std::string>::iterator use;  // its place in uses_
  };

  const size_t max_entries_;
  const size_t max_text_;
  std::mutex mutex_;
  std::list<std::string> uses_;                          // texts, most recently used first
  std::unordered_map<std::string_view, Entry> entries_;  // keys view into uses_
};

}  // namespace zv_sql::internal
