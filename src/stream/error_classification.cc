#include "stream/error_classification.h"

#include <nlohmann/json.hpp>

#include "util/format.h"

namespace zv {

namespace {

struct PhraseRule {
  std::string_view phrase;
  const char* sqlstate;
};

// For a server's text that came with no code: tried in order, the first rule
// whose phrase appears anywhere wins, so credential problems outrank network
// ones, which outrank time-outs. A failure whose SQLSTATE is known where it
// happened (the server's, an HTTP status's, libcurl's result) never comes here.
constexpr PhraseRule kRules[] = {
    {"invalid credential", "28000"},
    {"authentication failed", "28000"},
    {"Unauthorized", "28000"},
    {"401", "28000"},
    {"could not connect", "08001"},
    {"connection refused", "08001"},
    {"TLS handshake", "08001"},
    {"certificate verify", "08001"},
    {"DNS", "08001"},
    {"connection closed", "08006"},
    {"broken pipe", "08006"},
    {"server hung up", "08006"},
    {"timed out", "HYT00"},
    {"timeout", "HYT00"},
    {"syntax error", "42000"},
    {"parse error", "42000"},
    {"Plan error", "42000"},
    {"Schema mismatch", "42000"},
    {"Forbidden", "42501"},
    {"403", "42501"},
    {"permission denied", "42501"},
};

constexpr size_t kMaxComputeErrorText = 1024;

std::string MessageFromJsonBody(std::string_view body) {
  if (body.empty()) return {};
  auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return {};
  auto message = json.find("message");
  if (message != json.end() && message->is_string()) return message->get<std::string>();
  auto error = json.find("error");
  if (error == json.end()) return {};
  if (error->is_string()) return error->get<std::string>();
  if (error->is_object()) {
    auto inner = error->find("message");
    if (inner != error->end() && inner->is_string()) return inner->get<std::string>();
  }
  return {};
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A status code such as "401" counts only as a number of its own: inside a
// longer number (a port 40183, a byte count) it says nothing about the error.
bool ContainsPhrase(std::string_view text, std::string_view phrase) {
  const bool numeric = IsDigit(phrase.front());
  for (size_t at = text.find(phrase); at != std::string_view::npos;
       at = text.find(phrase, at + 1)) {
    if (!numeric) return true;
    const size_t end = at + phrase.size();
    const bool digit_before = at > 0 && IsDigit(text[at - 1]);
    const bool digit_after = end < text.size() && IsDigit(text[end]);
    if (!digit_before && !digit_after) return true;
  }
  return false;
}

}  // namespace

const char* zv_classify_transport_message(std::string_view text) {
  for (const auto& rule : kRules) {
    if (ContainsPhrase(text, rule.phrase)) return rule.sqlstate;
  }
  return "HY000";
}

std::string zv_normalize_compute_message(std::string text) {
  static constexpr std::string_view kPrefixes[] = {
      "Session error: ", "SQL execution error: ", "internal error: "};
  for (int round = 0; round < 6; ++round) {
    bool removed = false;
    for (std::string_view prefix : kPrefixes) {
      if (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) {
        text.erase(0, prefix.size());
        removed = true;
        break;
      }
    }
    if (!removed) break;
  }
  if (text.size() > 5 && text.back() == '\'') {
    size_t clause = text.rfind(" for '");
    if (clause != std::string::npos) text.erase(clause);
  }
  return text;
}

std::string zv_compute_error_text(std::string_view body, long http_status) {
  std::string message = MessageFromJsonBody(body);
  std::string result;
  if (!message.empty()) {
    result = zv_normalize_compute_message(std::move(message));
  } else {
    result = "compute returned HTTP " + std::to_string(http_status);
    if (!body.empty()) {
      result += ": ";
      result.append(body);
    }
  }
  if (result.size() > kMaxComputeErrorText) {
    result = zv::Bounded(std::move(result), kMaxComputeErrorText - 2) + "...";
  }
  return result;
}

bool zv_is_wellformed_sqlstate(std::string_view sqlstate) {
  if (sqlstate.size() != 5) return false;
  for (char c : sqlstate) {
    if (!IsDigit(c) && !(c >= 'A' && c <= 'Z')) return false;
  }
  return true;
}

ServerErrorFields zv_server_error_fields(std::string_view json_text) {
  ServerErrorFields fields;
  if (json_text.empty()) return fields;
  auto json = nlohmann::json::parse(json_text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return fields;
  auto sqlstate = json.find("sqlstate");
  if (sqlstate != json.end() && sqlstate->is_string() &&
      zv_is_wellformed_sqlstate(sqlstate->get_ref<const std::string&>())) {
    fields.sqlstate = sqlstate->get<std::string>();
  }
  // A server code is reported as given, but only a short one: it goes into
  // error details, not into messages.
  constexpr size_t kMaxCodeLength = 64;
  auto code = json.find("errorCode");
  if (code != json.end() && code->is_string() &&
      code->get_ref<const std::string&>().size() <= kMaxCodeLength) {
    fields.code = code->get<std::string>();
  } else if (code != json.end() && code->is_number_integer()) {
    fields.code = std::to_string(code->get<int64_t>());
  }
  return fields;
}

}  // namespace zv
