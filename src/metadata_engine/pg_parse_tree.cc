#include "metadata_engine/pg_parse_tree_internal.h"

#include <exception>
#include <mutex>
#include <string>

#include <pg_query.h>

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

std::optional<nlohmann::json> parse_to_json_tree(std::string_view sql, ParseStatus& status) {
  if (sql.size() > kMaxParsedText) {
    status.code = ParseCode::OutOfScope;
    status.message = "statement text too long for the metadata path";
    return std::nullopt;
  }
  // The parser reads a NUL-terminated text.
  const std::string text(sql);
  if (text.size() <= kCallerStackText) return parse_unguarded(text, status);
  std::optional<nlohmann::json> tree;
  const bool ran =
      zv::RunOnThreadWithStack(kParserStackBytes, [&] { tree = parse_unguarded(text, status); });
  if (!ran) {
    status.code = ParseCode::OutOfScope;
    status.message = "no parser thread for a long statement; left to compute";
    return std::nullopt;
  }
  return tree;
}

}  // namespace zv_sql::internal
