#include "Request.h"

#include <limits>

namespace lexonaut {

using nlohmann::json;

namespace {

std::optional<std::int64_t> integer(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

const json* member(const json& object, const char* key) {
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string text(const json& object, const char* key) {
  const json* value = member(object, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

}  // namespace

std::optional<Request> parseRequest(const json& object) {
  if (!object.is_object()) return std::nullopt;
  const json* id = member(object, "id");
  if (id == nullptr) return std::nullopt;
  auto number = integer(*id);
  if (!number) return std::nullopt;
  Request request;
  request.id = *number;
  request.system = text(object, "system");
  request.user = text(object, "user");
  if (const json* tokens = member(object, "maxTokens")) request.maxTokens = integer(*tokens);
  if (const json* temperature = member(object, "temperature");
      temperature != nullptr && temperature->is_number()) {
    request.temperature = temperature->get<double>();
  }
  if (const json* stream = member(object, "stream"); stream != nullptr && stream->is_boolean()) {
    request.stream = stream->get<bool>();
  }
  return request;
}

json unavailableReply(std::int64_t id) {
  return {{"id", id}, {"error", "on-device model unavailable"}};
}
json textReply(std::int64_t id, std::string_view text) { return {{"id", id}, {"text", text}}; }
json deltaLine(std::int64_t id, std::string_view delta) { return {{"id", id}, {"delta", delta}}; }
json doneLine(std::int64_t id) { return {{"id", id}, {"done", true}}; }
json errorLine(std::int64_t id, std::string_view description) {
  return {{"id", id}, {"error", description}};
}

}  // namespace lexonaut
