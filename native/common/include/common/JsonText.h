// Compact JSON text in the form the host application has always received:
// no white space between tokens, and every solidus inside a string written
// as "\/".
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace common {

// Returns the compact text of `value`, or nothing when it cannot be written
// (a string that is not valid UTF-8). Never throws.
inline std::optional<std::string> jsonText(const nlohmann::json& value) {
  std::string text;
  try {
    text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  // In compact output a solidus can only stand inside a string, so every one
  // is escaped.
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace common
