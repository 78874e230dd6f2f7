#include "Request.h"

#include <gtest/gtest.h>

#include "common/JsonText.h"

namespace lexonaut {
namespace {

using nlohmann::json;

Request base(std::int64_t id) {
  Request request;
  request.id = id;
  return request;
}

Request with(Request request, auto change) {
  change(request);
  return request;
}

TEST(ParseRequest, TakesFieldsOfTheirOwnTypeOnly) {
  struct Case {
    const char* input;
    std::optional<Request> expected;
  } cases[] = {
      {R"({"id":7,"user":"hi","system":"be brief"})", with(base(7),
                                                           [](Request& r) {
                                                             r.user = "hi";
                                                             r.system = "be brief";
                                                           })},
      {R"({})", std::nullopt},
      {R"({"id":"7"})", std::nullopt},
      {R"({"id":1.5})", std::nullopt},
      {R"({"id":1.0})", std::nullopt},
      {R"({"id":true})", std::nullopt},
      {R"({"id":null})", std::nullopt},
      {R"({"id":9223372036854775808})", std::nullopt},
      {R"({"id":9223372036854775807})", base(9223372036854775807)},
      {R"({"id":-9223372036854775808})", base(INT64_MIN)},
      {R"({"ID":1})", std::nullopt},
      {R"([{"id":1}])", std::nullopt},
      {R"({"id":1,"stream":true})", with(base(1), [](Request& r) { r.stream = true; })},
      {R"({"id":1,"stream":"true"})", base(1)},
      {R"({"id":1,"stream":1})", base(1)},
      {R"({"id":1,"maxTokens":100})", with(base(1), [](Request& r) { r.maxTokens = 100; })},
      {R"({"id":1,"maxTokens":-3})", with(base(1), [](Request& r) { r.maxTokens = -3; })},
      {R"({"id":1,"maxTokens":"100"})", base(1)},
      {R"({"id":1,"maxTokens":100.5})", base(1)},
      {R"({"id":1,"temperature":1})", with(base(1), [](Request& r) { r.temperature = 1.0; })},
      {R"({"id":1,"temperature":0.25})", with(base(1), [](Request& r) { r.temperature = 0.25; })},
      {R"({"id":1,"temperature":"1"})", base(1)},
      {R"({"id":1,"temperature":false})", base(1)},
      {R"({"id":1,"system":5,"user":["x"]})", base(1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseRequest(json::parse(c.input)), c.expected) << c.input;
  }
}

TEST(ReplyLines, AreWrittenAsTheHostReadsThem) {
  struct Case {
    json line;
    const char* expected;
  } cases[] = {
      {unavailableReply(3), R"({"error":"on-device model unavailable","id":3})"},
      {textReply(-1, "a/b"), R"({"id":-1,"text":"a\/b"})"},
      {deltaLine(7, "\u00e9"), "{\"delta\":\"\u00e9\",\"id\":7}"},
      {doneLine(7), R"({"done":true,"id":7})"},
      {errorLine(7, "HTTP 404"), R"({"error":"HTTP 404","id":7})"},
  };
  for (const auto& c : cases) EXPECT_EQ(common::jsonText(c.line), c.expected) << c.expected;
}

}  // namespace
}  // namespace lexonaut
