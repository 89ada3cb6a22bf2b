#include "metadata_engine/pg_parse_tree_internal.h"

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <pg_query.h>

#include "metadata_engine/parse_tree_cache_internal.h"
#include "platform/stack_thread.h"

namespace zv_sql::internal {

namespace {

// The parser keeps per-process state (memory contexts, error state), so every
// parse call in the process goes through this one mutex.
std::mutex& parser_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Sole owner of one parse result; frees the parser's memory exactly once.
class PgParseResult {
 public:
  explicit PgParseResult(PgQueryParseResult result) : result_(result) {}
  ~PgParseResult() { pg_query_free_parse_result(result_); }
  PgParseResult(const PgParseResult&) = delete;
  PgParseResult& operator=(const PgParseResult&) = delete;

  const PgQueryParseResult& get() const { return result_; }

 private:
  PgQueryParseResult result_;
};

// The parser's tree writer recurses once per level of nesting, and a chain of
// left-associative operators nests one level per operator: the depth a text
// can reach grows with its length. Texts beyond this length go to compute
// untouched; shorter ones are parsed on a thread whose stack holds the
// deepest tree they can produce (about 150 bytes per level, at most one level
// per two characters), whatever stack the host gave its own thread.
constexpr size_t kMaxParsedText = size_t{256} << 10;
constexpr size_t kParserStackBytes = size_t{64} << 20;
// Up to this length the deepest possible tree fits comfortably in the
// smallest host stack, and the extra thread would only cost time.
constexpr size_t kCallerStackText = 2048;
// The texts whose trees are kept: short ones, which catalog queries are.
constexpr size_t kKeptTrees = 64;

ParseTreeCache& kept_trees() {
  static ParseTreeCache cache(kKeptTrees, kCallerStackText);
  return cache;
}

std::optional<nlohmann::json> parse_unguarded(const std::string& text, ParseStatus& status) {
  try {
    std::optional<PgParseResult> result;
    {
      std::lock_guard<std::mutex> lock(parser_mutex());
      result.emplace(pg_query_parse(text.c_str()));
    }
    if (const PgQueryError* error = result->get().error) {
      status.code = ParseCode::Malformed;
      status.message = error->message ? error->message : "syntax error";
      status.location = error->cursorpos;
      return std::nullopt;
    }
    const char* tree = result->get().parse_tree;
    return nlohmann::json::parse(tree ? tree : "{}");
  } catch (const std::exception& e) {
    status.code = ParseCode::ParserThrew;
    status.message = std::string("libpg_query threw: ") + e.what();
  } catch (...) {
    status.code = ParseCode::ParserThrew;
    status.message = "libpg_query threw (unknown)";
  }
  return std::nullopt;
}

}  // namespace

ParseTree parse_to_json_tree(std::string_view sql, ParseStatus& status) {
  if (sql.size() > kMaxParsedText) {
    status.code = ParseCode::OutOfScope;
    status.message = "statement text too long for the metadata path";
    return nullptr;
  }
  if (ParseTree kept = kept_trees().find(sql)) return kept;
  // The parser reads a NUL-terminated text.
  const std::string text(sql);
  std::optional<nlohmann::json> tree;
  if (text.size() <= kCallerStackText) {
    tree = parse_unguarded(text, status);
  } else if (!zv::RunOnThreadWithStack(kParserStackBytes,
                                       [&] { tree = parse_unguarded(text, status); })) {
    status.code = ParseCode::OutOfScope;
    status.message = "no parser thread for a long statement; left to compute";
    return nullptr;
  }
  if (!tree) return nullptr;
  auto shared = std::make_shared<const nlohmann::json>(std::move(*tree));
  kept_trees().keep(sql, shared);
  return shared;
}

}  // namespace zv_sql::internal
