#include <CaptureProtocol/LineReader.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace capture {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::vector<std::string> texts(const std::vector<Bytes>& lines) {
  std::vector<std::string> out;
  for (const Bytes& line : lines) out.push_back(text(line));
  return out;
}

// Each case feeds its chunks in order into one reader; `lines` is what each
// call returned and `pending` the bytes left buffered at the end.
struct FeedCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::vector<std::string>> lines;
  std::size_t pending;
};

TEST(LineReader, FeedCutsLinesAtLineFeedOnly) {
  const std::vector<FeedCase> cases = {
      {"object line", {"{}\n"}, {{"{}"}}, 0},
      {"line across chunks", {"ab", "c\nd"}, {{}, {"abc"}}, 1},
      {"empty lines dropped", {"\n\n\nx\n"}, {{"x"}}, 0},
      {"empty chunk", {"ab", ""}, {{}, {}}, 2},
      {"carriage return kept", {"x\r\n"}, {{"x\r"}}, 0},
      {"lone carriage return ends nothing", {"a\rb"}, {{}}, 3},
      {"three lines oldest first", {"1\n22\n333\n"}, {{"1", "22", "333"}}, 0},
      {"tail joins next line", {"a", "b", "c", "\nd\n"}, {{}, {}, {}, {"abc", "d"}}, 0},
      {"line feed alone after tail", {"ab", "\n"}, {{}, {"ab"}}, 0},
      {"bytes kept as they are",
       {std::string("\x00\xff\x01\n", 4)},
       {{std::string("\x00\xff\x01", 3)}},
       0},
  };
  for (const FeedCase& c : cases) {
    LineReader reader;
    ASSERT_EQ(c.chunks.size(), c.lines.size()) << c.name;
    for (std::size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(texts(reader.feed(bytes(c.chunks[i]))), c.lines[i]) << c.name << ", chunk " << i;
    }
    EXPECT_EQ(reader.pendingBytes(), c.pending) << c.name;
  }
}

// Lines of several megabytes take the path where the buffer grows
// geometrically and its pages are claimed ahead: every byte must land in its
// place.
TEST(LineReader, MegabyteLinesComeBackWhole) {
  Bytes stream;
  std::vector<Bytes> expected;
  for (const std::size_t size : {std::size_t{5} << 20, std::size_t{3} << 20}) {
    Bytes line(size);
    for (std::size_t i = 0; i < size; ++i) line[i] = static_cast<std::uint8_t>('a' + i % 23);
    stream.insert(stream.end(), line.begin(), line.end());
    stream.push_back('\n');
    expected.push_back(std::move(line));
  }
  for (const std::size_t chunk : {std::size_t{4096}, std::size_t{1000003}}) {
    LineReader reader;
    std::vector<Bytes> lines;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      const std::size_t size = std::min(chunk, stream.size() - at);
      for (Bytes& line : reader.feed(std::span(stream).subspan(at, size))) {
        lines.push_back(std::move(line));
      }
    }
    EXPECT_TRUE(lines == expected) << "chunk " << chunk;
    EXPECT_EQ(reader.pendingBytes(), 0u);
  }
}

TEST(LineReader, ReturnedLinesAreIndependentOfTheInput) {
  LineReader reader;
  Bytes chunk = bytes("ab\ncd");
  std::vector<Bytes> lines = reader.feed(chunk);
  chunk.assign(chunk.size(), 'z');
  lines.push_back(reader.feed(bytes("\n")).at(0));
  EXPECT_EQ(texts(lines), (std::vector<std::string>{"ab", "cd"}));
}

TEST(LineReader, ObjectAcceptsOnlyAJsonObject) {
  struct Case {
    std::string line;
    std::optional<nlohmann::json> expected;
  };
  const std::vector<Case> cases = {
      {"{}", nlohmann::json::object()},
      {R"({"id":7,"user":"a\/b","s":[1,{"x":null}]})",
       nlohmann::json{{"id", 7}, {"user", "a/b"}, {"s", {1, {{"x", nullptr}}}}}},
      {"  {\"a\":1}  ", nlohmann::json{{"a", 1}}},
      {"{\"a\":1}\r", nlohmann::json{{"a", 1}}},
      {"\t{\"a\":true}\n", nlohmann::json{{"a", true}}},
      {"[1,2]", std::nullopt},
      {"[{}]", std::nullopt},
      {"42", std::nullopt},
      {"\"text\"", std::nullopt},
      {"null", std::nullopt},
      {"{\"a\":", std::nullopt},
      {"{\"a\":1}}", std::nullopt},
      {"{\"a\":1} x", std::nullopt},
      {"   ", std::nullopt},
      {"", std::nullopt},
      {std::string("{\"a\":1}\0x", 9), std::nullopt},
      {std::string("{\"a\":\"\0\"}", 9), std::nullopt},
      {"{\"a\":\"\xff\"}", std::nullopt},
      {"{\"a\":\"\xc3\"}", std::nullopt},
      {"{'a':1}", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LineReader::object(bytes(c.line)), c.expected) << "line: " << c.line;
  }
}

TEST(LineReader, ObjectOfALineAsFeedReturnsIt) {
  LineReader reader;
  const std::vector<Bytes> lines = reader.feed(bytes("{}\n"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], (Bytes{0x7B, 0x7D}));
  EXPECT_EQ(LineReader::object(lines[0]), nlohmann::json::object());
}

}  // namespace
}  // namespace capture
