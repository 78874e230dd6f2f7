#include "StreamDelta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lexonaut {
namespace {

// The delta lines a stream of snapshots produces.
std::vector<std::string> deltas(const std::vector<std::string>& snapshots) {
  std::vector<std::string> lines;
  std::string sent;
  for (const auto& current : snapshots) {
    if (auto delta = streamDelta(sent, current)) {
      lines.emplace_back(*delta);
      sent = current;
    }
  }
  return lines;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += part;
  return text;
}

TEST(StreamDelta, SendsWhatEachSnapshotAdds) {
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    V snapshots;
    V expected;
  } cases[] = {
      {"growing", {"Hel", "Hello", "Hello", "Hello world"}, {"Hel", "lo", " world"}},
      {"empty snapshot", {"", "a"}, {"a"}},
      {"none", {}, {}},
      // An addition that only completes the last character still goes out.
      {"combining accent",
       {"caf", "cafe", "cafe\u0301", "cafe\u0301!"},
       {"caf", "e", "\u0301", "!"}},
      {"skin tone", {"\U0001F44D", "\U0001F44D\U0001F3FD"}, {"\U0001F44D", "\U0001F3FD"}},
      {"zwj sequence",
       {"\U0001F469", "\U0001F469\u200D", "\U0001F469\u200D\U0001F467"},
       {"\U0001F469", "\u200D", "\U0001F467"}},
      {"flag halves", {"\U0001F1E9", "\U0001F1E9\U0001F1EA"}, {"\U0001F1E9", "\U0001F1EA"}},
      // Snapshots that rewrote the sent text are cut by character count.
      {"shorter rewrite", {"Hello", "Hx", "Hxyzzy!"}, {"Hello", "y!"}},
      {"same count rewrite", {"abc", "xyz"}, {"abc"}},
      {"rewrite counted in characters", {"e\u0301x", "ab\u0301c"}, {"e\u0301x", "c"}},
  };
  for (const auto& c : cases) {
    V result = deltas(c.snapshots);
    EXPECT_EQ(result, c.expected) << c.name;
    // Whenever every snapshot extends the one before, the deltas add up to
    // the text.
    bool extending = true;
    for (std::size_t i = 1; i < c.snapshots.size(); ++i) {
      extending = extending && c.snapshots[i].starts_with(c.snapshots[i - 1]);
    }
    if (extending && !c.snapshots.empty()) {
      EXPECT_EQ(joined(result), c.snapshots.back()) << c.name;
    }
  }
}

TEST(CharacterCount, CountsExtendedGraphemeClusters) {
  struct Case {
    const char* text;
    std::size_t expected;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"e\u0301", 1},
      {"\r\n", 1},
      {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 2},
      {"\U0001F469\u200D\U0001F467\u200D\U0001F466", 1},
      {"\xff\xfe", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(characterCount(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace lexonaut
