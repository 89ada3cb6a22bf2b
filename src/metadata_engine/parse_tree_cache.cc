#include "metadata_engine/parse_tree_cache_internal.h"

#include <utility>

namespace zv_sql::internal {

ParseTreeCache::ParseTreeCache(size_t max_entries, size_t max_text)
    : max_entries_(max_entries), max_text_(max_text) {}

ParseTree ParseTreeCache::find(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(text);
  if (it == entries_.end()) return nullptr;
  uses_.splice(uses_.begin(), uses_, it->second.use);
  return it->second.tree;
}

void ParseTreeCache::keep(std::string_view text, ParseTree tree) {
  if (text.size() > max_text_ || max_entries_ == 0 || tree == nullptr) return;
  ParseTree evicted;  // freed after the lock is released: a large tree takes a while
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = entries_.find(text); it != entries_.end()) {
    evicted = std::exchange(it->second.tree, std::move(tree));
    uses_.splice(uses_.begin(), uses_, it->second.use);
    return;
  }
  if (entries_.size() >= max_entries_) {
    auto oldest = entries_.find(std::string_view(uses_.back()));
    evicted = std::move(oldest->second.tree);
    entries_.erase(oldest);
    uses_.pop_back();
  }
  uses_.emplace_front(text);
  entries_.emplace(std::string_view(uses_.front()), Entry{std::move(tree), uses_.begin()});
}

}  // namespace zv_sql::internal
