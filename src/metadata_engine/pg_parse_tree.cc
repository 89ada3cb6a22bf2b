#include "metadata_engine/pg_parse_tree_internal.h"

#include <exception>
#include <mutex>
#include <string>

#include <pg_query.h>

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

}  // namespace

std::optional<nlohmann::json> parse_to_json_tree(std::string_view sql, ParseStatus& status) {
  try {
    // The parser reads a NUL-terminated text.
    const std::string text(sql);
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

}  // namespace zv_sql::internal
