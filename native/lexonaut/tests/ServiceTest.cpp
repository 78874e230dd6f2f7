#include "Service.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/JsonText.h"

namespace lexonaut {
namespace {

using nlohmann::json;

// A model layer that plays back scripted items and records what it was asked.
class FakeModel final : public model::LanguageModel {
 public:
  struct Call {
    std::optional<std::string> instructions;
    std::string prompt;
    model::GenerationOptions options;
    bool streamed = false;
  };

  bool supported = true;
  model::Availability answer;
  std::vector<model::StreamItem> items;  // what every stream yields
  model::Response response = std::string("whole");

  bool systemSupported() const override { return supported; }
  model::Availability availability() override {
    ++availabilityCalls;
    return answer;
  }
  std::unique_ptr<model::Session> makeSession(std::optional<std::string> instructions) override {
    return std::make_unique<FakeSession>(*this, std::move(instructions));
  }

  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  int availabilityCalls = 0;

 private:
  class FakeStream final : public model::ResponseStream {
   public:
    explicit FakeStream(std::vector<model::StreamItem> items)
        : items_(items.begin(), items.end()) {}
    model::StreamItem next() override {
      if (items_.empty()) return model::EndOfStream{};
      auto item = items_.front();
      if (items_.size() > 1 || std::holds_alternative<model::Snapshot>(item)) items_.pop_front();
      return item;
    }

   private:
    std::deque<model::StreamItem> items_;
  };

  class FakeSession final : public model::Session {
   public:
    FakeSession(FakeModel& owner, std::optional<std::string> instructions)
        : owner_(owner), instructions_(std::move(instructions)) {}
    model::Response respond(const std::string& prompt,
                            const model::GenerationOptions& options) override {
      owner_.record({instructions_, prompt, options, false});
      return owner_.response;
    }
    std::unique_ptr<model::ResponseStream> streamResponse(
        const std::string& prompt, const model::GenerationOptions& options) override {
      owner_.record({instructions_, prompt, options, true});
      return std::make_unique<FakeStream>(
          std::vector<model::StreamItem>(owner_.items.begin(), owner_.items.end()));
    }

   private:
    FakeModel& owner_;
    const std::optional<std::string> instructions_;
  };

  void record(Call call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  std::mutex mutex_;
  std::vector<Call> calls_;
};

// A writer whose output lands in memory, with a way to wait for lines.
class CapturedOutput {
 public:
  CapturedOutput()
      : writer(-1, [this](int, const void* data, size_t size) {
          std::lock_guard lock(mutex_);
          text_.append(static_cast<const char*>(data), size);
          changed_.notify_all();
          return static_cast<ssize_t>(size);
        }) {}

  // Waits (up to ten seconds) until `count` lines have been written; returns
  // every line written by then.
  std::vector<std::string> lines(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return split().size() >= count; });
    return split();
  }

  capture::StdoutWriter writer;

 private:
  std::vector<std::string> split() const {
    std::vector<std::string> result;
    for (std::size_t start = 0, end; (end = text_.find('\n', start)) != std::string::npos;
         start = end + 1) {
      result.push_back(text_.substr(start, end - start));
    }
    return result;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
};

// Request threads may still be finishing when a test ends (a line is seen
// before its flush returns): what they use is kept for the life of the process.
template <typename T>
T& kept() {
  static auto* all = new std::vector<std::shared_ptr<void>>;
  auto object = std::make_shared<T>();
  all->push_back(object);
  return *object;
}

TEST(Availability, MapsTheLayersAnswerToTheHostsText) {
  using R = model::UnavailableReason;
  using Result = std::pair<bool, std::optional<std::string>>;
  struct Case {
    bool supported;
    std::optional<R> reason;
    Result expected;
  } cases[] = {
      {false, std::nullopt, {false, "requires macOS 26 with Apple Intelligence"}},
      {true, std::nullopt, {true, std::nullopt}},
      {true, R::deviceNotEligible, {false, "device not eligible"}},
      {true, R::appleIntelligenceNotEnabled, {false, "Apple Intelligence not enabled"}},
      {true, R::modelNotReady, {false, "model not ready (still downloading)"}},
      {true, R::other, {false, "model unavailable"}},
  };
  for (const auto& c : cases) {
    FakeModel fake;
    fake.supported = c.supported;
    fake.answer = {c.reason};
    EXPECT_EQ(availability(fake), c.expected) << c.expected.second.value_or("available");
    EXPECT_EQ(fake.availabilityCalls, c.supported ? 1 : 0)
        << "the layer is asked only when supported";
  }
}

TEST(Handle, OnAnUnsupportedSystemRepliesAtOnceInInputOrder) {
  FakeModel fake;
  fake.supported = false;
  CapturedOutput output;
  for (const char* request :
       {R"({"id":1,"stream":true})", R"({"id":"2"})", R"({"user":"x"})", R"({"id":3})"}) {
    handle(json::parse(request), fake, output.writer);
  }
  EXPECT_EQ(output.lines(0),
            (std::vector<std::string>{R"({"error":"on-device model unavailable","id":1})",
                                      R"({"error":"on-device model unavailable","id":3})"}));
  EXPECT_TRUE(fake.calls().empty());
}

TEST(Handle, PassesFieldsToTheSessionAndRepliesWhole) {
  auto& fake = kept<FakeModel>();
  auto& output = kept<CapturedOutput>();
  handle(json::parse(R"({"id":5,"system":"","user":"hi","temperature":1,"maxTokens":"9"})"), fake,
         output.writer);
  EXPECT_EQ(output.lines(1), std::vector<std::string>{R"({"id":5,"text":"whole"})"});
  auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].instructions, std::nullopt);
  EXPECT_EQ(calls[0].prompt, "hi");
  EXPECT_EQ(calls[0].options.temperature, 1.0);
  EXPECT_EQ(calls[0].options.maximumResponseTokens, std::nullopt);
  EXPECT_FALSE(calls[0].streamed);

  fake.response = model::Failure{"HTTP 500: boom"};
  handle(json::parse(R"({"id":6,"system":"terse","maxTokens":9})"), fake, output.writer);
  EXPECT_EQ(output.lines(2).back(), R"({"error":"HTTP 500: boom","id":6})");
  EXPECT_EQ(fake.calls().back().instructions, "terse");
  EXPECT_EQ(fake.calls().back().options.maximumResponseTokens, 9);
}

TEST(Handle, StreamsDeltasUntilTheStreamEnds) {
  using model::Failure;
  using model::Snapshot;
  using V = std::vector<std::string>;
  struct Case {
    std::vector<model::StreamItem> items;
    V expected;
  } cases[] = {
      {{Snapshot{"Hel"}, Snapshot{"Hello"}, Snapshot{"Hello"}, Snapshot{"Hello world"}},
       {R"({"delta":"Hel","id":9})", R"({"delta":"lo","id":9})", R"({"delta":" world","id":9})",
        R"({"done":true,"id":9})"}},
      {{}, {R"({"done":true,"id":9})"}},
      {{Snapshot{"a"}, Snapshot{"ab"}, Failure{"gone"}},
       {R"({"delta":"a","id":9})", R"({"delta":"b","id":9})", R"({"error":"gone","id":9})"}},
  };
  for (const auto& c : cases) {
    auto& fake = kept<FakeModel>();
    auto& output = kept<CapturedOutput>();
    fake.items = c.items;
    handle(json::parse(R"({"id":9,"stream":true})"), fake, output.writer);
    EXPECT_EQ(output.lines(c.expected.size()), c.expected) << c.expected.back();
  }
}

// Start-up ends the process at the end of input, so it runs in a child.
class StartUp : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // Starts the service on pipes with a layer that finds the system
  // unsupported, writes `input`, reads `lineCount` lines, and reports on
  // standard error whether they were `expected`; then closes the input.
  [[noreturn]] static void serve(const std::string& input, const std::string& expected) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) _exit(3);
    auto& fake = *new FakeModel;
    fake.supported = false;
    start(fake, in[0], out[1]);
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) _exit(4);
    std::string got;
    char c;
    while (got.size() < expected.size() && read(out[0], &c, 1) == 1) got += c;
    fprintf(stderr, "%s\n", got == expected ? "as expected" : got.c_str());
    close(in[1]);
    for (;;) pause();
  }
};

TEST_F(StartUp, AnnouncesReadinessAndServesUntilTheInputEnds) {
  const std::string readiness =
      R"({"available":false,"ready":true,"reason":"requires macOS 26 with Apple Intelligence"})"
      "\n";
  EXPECT_EXIT(serve("", readiness), ::testing::ExitedWithCode(0), "as expected");
  // Lines that are not request objects get nothing, and the unfinished
  // last line is never served.
  EXPECT_EXIT(serve("{\"id\":1}\n[1]\nnot json\n\n   \n{\"id\":\"x\"}\n{\"id\":2}\r\n{\"id\":3",
                    readiness + R"({"error":"on-device model unavailable","id":1})"
                                "\n"
                                R"({"error":"on-device model unavailable","id":2})"
                                "\n"),
              ::testing::ExitedWithCode(0), "as expected");
}

}  // namespace
}  // namespace lexonaut
