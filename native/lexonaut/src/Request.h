// The request objects lexonaut reads and the reply lines it writes, as pure
// functions of their inputs.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lexonaut {

// One request, taken from its JSON object.
struct Request {
  std::int64_t id = 0;
  std::string system;  // instructions; empty means none
  std::string user;    // the prompt
  std::optional<double> temperature;
  std::optional<std::int64_t> maxTokens;
  bool stream = false;

  bool operator==(const Request&) const = default;
};

// The request in `object`, or nothing when it has no "id" that is a JSON
// integer in the signed 64-bit range (a number written with a fraction, even
// 1.0, is not one; nor is a boolean). Fields of another type than their own
// take their defaults: "system" and "user" strings (empty), "maxTokens" an
// integer (unset), "temperature" any number (unset), "stream" a boolean
// (false). Other keys are ignored. Never throws.
std::optional<Request> parseRequest(const nlohmann::json& object);

// The reply lines. "id" is a JSON integer, "done" the literal true, every
// other value a string.
nlohmann::json unavailableReply(std::int64_t id);
nlohmann::json textReply(std::int64_t id, std::string_view text);
nlohmann::json deltaLine(std::int64_t id, std::string_view delta);
nlohmann::json doneLine(std::int64_t id);
nlohmann::json errorLine(std::int64_t id, std::string_view description);

}  // namespace lexonaut
