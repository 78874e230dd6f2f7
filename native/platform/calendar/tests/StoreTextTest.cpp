#include "calendar/StoreText.h"

#include <gtest/gtest.h>

namespace calendar {
namespace {

TEST(StoreText, RepairsInvalidUtf8) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\xC3", "\xEF\xBF\xBD"},                                  // truncated at the end
      {"\xE2\x82z", "\xEF\xBF\xBDz"},                            // one replacement per subpart
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
      {"\xF4\x90\x80\x80", std::string(4, '?')},                 // beyond U+10FFFF
      {std::string("a\0b", 3),
       "a\xEF\xBF\xBD"
       "b"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (auto& c : cases) {
    if (c.out == std::string(4, '?')) {
      c.out.clear();
      for (int i = 0; i < 4; ++i) c.out += "\xEF\xBF\xBD";
    }
    EXPECT_EQ(repairUtf8(c.in), c.out) << c.in;
    EXPECT_TRUE(isValidUtf8(repairUtf8(c.in))) << c.in;
  }
}

TEST(StoreText, ReadsAccess) {
  struct Case {
    const char* text;
    std::int64_t status;
  } cases[] = {
      {"not-determined", 0},
      {"restricted", 1},
      {"denied\n", 2},
      {"  granted \r\n", 3},
      {"write-only", 4},
      {"7", 7},
      {"-3", -3},
      {"+2", 2},
      {"", -1},
      {"Granted", -1},
      {"granted yes", -1},
      {"99999999999999999999", -1},
      {"+-1", -1},
      {"1.5", -1},
      {"0x3", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAccess(c.text), c.status) << '"' << c.text << '"';
}

TEST(StoreText, ReadsKind) {
  struct Case {
    const char* text;
    std::int64_t type;
  } cases[] = {
      {"local", 0}, {"caldav\n", 1}, {" exchange ", 2}, {"subscription", 3},  {"birthday", 4},
      {"12", 12},   {"google", -1},  {"", -1},          {"caldav\nlocal", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(parseKind(c.text), c.type) << '"' << c.text << '"';
}

TEST(StoreText, MatchesTheUserAddresses) {
  const AddressSet me = parseMe(
      "# my addresses\n"
      "  Ann@Example.com  \n"
      "\n"
      "MAILTO:ann.work@example.org\r\n"
      "#bob@example.com\n"
      "J\xC3\x9CRGEN@example.de\n");
  struct Case {
    const char* address;
    bool isMe;
  } cases[] = {
      {"mailto:ann@example.com", true},
      {"MAILTO:ANN@EXAMPLE.COM", true},
      {"mailto:ann.work@example.org", true},
      {"mailto:j\xC3\xBCrgen@example.de", true},
      {"ann@example.com", false},  // no mailto: scheme
      {"mailto:bob@example.com", false},
      {"mailto:ann%40example.com", false},  // no percent decoding
      {"mailto: ann@example.com", false},
      {"mailto:", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isCurrentUser(c.address, me), c.isMe) << c.address;
}

TEST(StoreText, UnescapesText) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\\nb\\Nc", "a\nb\nc"},
      {"x\\, y\\; z\\\\", "x, y; z\\"},
      {"   ", "   "},
      {"odd \\q end\\", "odd \\q end\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(unescapeText(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace calendar
