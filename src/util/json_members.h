#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace zv {

// A member of a JSON object that must be a string: absent, null and other
// types all read as "not given".
inline std::optional<std::string> StringMember(const nlohmann::json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace zv
