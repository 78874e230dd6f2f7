#include <CaptureProtocol/StdoutWriter.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace capture {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Stands in for write(2): plays a script of results front to back, then
// accepts everything. Records each call's size and the bytes accepted. One
// thread at a time calls it (the worker, or a caller inside flush); tests read
// it after flush, which orders them.
class FakeOutput {
 public:
  // accept >= 0: take at most that many bytes; accept < 0: fail with error.
  struct Step {
    ssize_t accept;
    int error = 0;
  };

  explicit FakeOutput(std::vector<Step> script = {}) : script_(std::move(script)) {}

  StdoutWriter::WriteFunction function() {
    return [this](int fd, const void* data, size_t size) { return call(fd, data, size); };
  }

  std::string output;
  std::vector<size_t> callSizes;
  std::vector<int> descriptors;
  std::chrono::milliseconds delay{0};

 private:
  ssize_t call(int fd, const void* data, size_t size) {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    callSizes.push_back(size);
    descriptors.push_back(fd);
    size_t accept = size;
    if (next_ < script_.size()) {
      const Step step = script_[next_++];
      if (step.accept < 0) {
        errno = step.error;
        return -1;
      }
      accept = std::min(size, static_cast<size_t>(step.accept));
    }
    output.append(static_cast<const char*>(data), accept);
    return static_cast<ssize_t>(accept);
  }

  std::vector<Step> script_;
  size_t next_ = 0;
};

TEST(StdoutWriter, SystemCallResults) {
  const FakeOutput::Step eintr{-1, EINTR};
  struct Case {
    const char* name;
    std::vector<FakeOutput::Step> script;
    std::vector<std::string> messages;
    std::string output;
    std::vector<size_t> callSizes;
    int brokenCalls;
  };
  const std::vector<Case> cases = {
      {"whole at once", {}, {"hello\n", "x\n"}, "hello\nx\n", {6, 2}, 0},
      {"empty message makes no call", {}, {"", "a\n", ""}, "a\n", {2}, 0},
      {"partial writes continued", {{2}, {1}}, {"hello\n"}, "hello\n", {6, 4, 3}, 0},
      {"zero result asks again", {{0}}, {"ab"}, "ab", {2, 2}, 0},
      {"interrupted call repeated", {eintr, eintr}, {"hello\n"}, "hello\n", {6, 6, 6}, 0},
      {"interrupted after partial", {{3}, eintr}, {"hello\n"}, "hello\n", {6, 3, 3}, 0},
      {"broken pipe drops everything after", {{-1, EPIPE}}, {"a\n", "b\n", "c\n"}, "", {2}, 1},
      {"failure mid-message abandons its rest",
       {{1}, {2}, {-1, EIO}},
       {"hello\n", "next\n"},
       "hel",
       {6, 5, 3},
       1},
      {"failure after whole messages",
       {{2}, {-1, ENOSPC}},
       {"a\n", "b\n", "c\n"},
       "a\n",
       {2, 2},
       1},
  };
  for (const Case& c : cases) {
    FakeOutput fake(c.script);
    int brokenCalls = 0;
    {
      StdoutWriter writer(42, fake.function());
      writer.onBrokenPipe = [&] { ++brokenCalls; };
      for (const std::string& message : c.messages) writer.write(bytes(message));
      writer.flush();
      // More messages after a failure still make no call.
      writer.write(bytes(brokenCalls > 0 ? "late\n" : ""));
      writer.flush();
    }
    EXPECT_EQ(fake.output, c.output) << c.name;
    EXPECT_EQ(fake.callSizes, c.callSizes) << c.name;
    EXPECT_EQ(fake.descriptors, std::vector<int>(c.callSizes.size(), 42)) << c.name;
    EXPECT_EQ(brokenCalls, c.brokenCalls) << c.name;
  }
}

TEST(StdoutWriter, WriteLineSerialisesOneObjectPerLine) {
  struct Case {
    nlohmann::json value;
    std::string output;
  };
  const std::vector<Case> cases = {
      {nlohmann::json::object(), "{}\n"},
      {{{"id", 7}, {"done", true}}, "{\"done\":true,\"id\":7}\n"},
      {{{"delta", "a/b \"q\"\n"}}, "{\"delta\":\"a\\/b \\\"q\\\"\\n\"}\n"},
      {{{"text", "\xc3\xa9"}}, "{\"text\":\"\xc3\xa9\"}\n"},
      {nlohmann::json::array({1, 2}), ""},
      {nlohmann::json("text"), ""},
      {nlohmann::json(3), ""},
      {{{"bad", "\xff"}}, ""},
  };
  for (const Case& c : cases) {
    FakeOutput fake;
    StdoutWriter writer(1, fake.function());
    writer.writeLine(c.value);
    writer.flush();
    EXPECT_EQ(fake.output, c.output)
        << c.value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // An object that cannot be written leaves the writer open.
    writer.writeLine({{"after", 1}});
    writer.flush();
    EXPECT_EQ(fake.output, c.output + "{\"after\":1}\n");
  }
}

TEST(StdoutWriter, ConcurrentLinesNeverInterleave) {
  // Short writes make an interleaving writer show itself at once.
  std::vector<FakeOutput::Step> script(100000, FakeOutput::Step{7});
  FakeOutput fake(script);
  constexpr int threads = 6;
  constexpr int perThread = 400;
  {
    StdoutWriter writer(1, fake.function());
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&writer, t] {
        for (int i = 0; i < perThread; ++i) {
          writer.writeLine({{"thread", t}, {"seq", i}, {"pad", std::string(i % 50, 'x')}});
          if (i % 100 == 0) writer.flush();
        }
      });
    }
    for (std::thread& w : workers) w.join();
    writer.flush();
  }
  std::map<int, int> nextSeq;
  std::size_t start = 0;
  int lines = 0;
  while (start < fake.output.size()) {
    const std::size_t end = fake.output.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = fake.output.substr(start, end - start);
    const auto value = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(value.is_object()) << line;
    const int t = value["thread"];
    EXPECT_EQ(value["seq"], nextSeq[t]++) << line;
    EXPECT_EQ(value["pad"], std::string(value["seq"].get<int>() % 50, 'x')) << line;
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, threads * perThread);
}

TEST(StdoutWriter, FlushWaitsForEarlierWrites) {
  FakeOutput fake;
  fake.delay = std::chrono::milliseconds(20);
  StdoutWriter writer(1, fake.function());
  writer.write(bytes("one\n"));
  writer.write(bytes("two\n"));
  writer.flush();
  EXPECT_EQ(fake.output, "one\ntwo\n");
}

TEST(StdoutWriter, DestructionRunsWhatWasQueued) {
  FakeOutput fake;
  fake.delay = std::chrono::milliseconds(5);
  {
    StdoutWriter writer(1, fake.function());
    for (int i = 0; i < 5; ++i) writer.write(bytes("x"));
  }
  EXPECT_EQ(fake.output, "xxxxx");
}

std::string threadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(StdoutWriter, BrokenPipeOfARealPipeReportedOnceOnTheWorker) {
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  int calls = 0;
  std::string name;
  std::thread::id caller;
  {
    StdoutWriter writer(
        fds[1], [](int fd, const void* data, size_t size) { return ::write(fd, data, size); });
    writer.onBrokenPipe = [&] {
      ++calls;
      name = threadName();
      caller = std::this_thread::get_id();
      writer.flush();  // on the worker: returns instead of waiting for itself
    };
    writer.writeLine({{"a", 1}});
    writer.writeLine({{"b", 2}});
    writer.flush();
    writer.write(bytes("more\n"));
    writer.flush();
  }
  close(fds[1]);
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(name, "zarn.stdout");
  EXPECT_NE(caller, std::this_thread::get_id());
}

TEST(StdoutWriter, FailureInsideFlushReportedOnTheWorkerBeforeFlushReturns) {
  // Whether the worker or the flushing caller makes the failing write is a
  // race; repeat until the caller has made it a number of times.
  int failuresOnCaller = 0;
  for (int round = 0; round < 2000 && failuresOnCaller < 20; ++round) {
    std::thread::id failedOn;
    const StdoutWriter::WriteFunction fail = [&](int, const void*, size_t) -> ssize_t {
      failedOn = std::this_thread::get_id();
      errno = EPIPE;
      return -1;
    };
    int calls = 0;
    std::string name;
    StdoutWriter writer(1, fail);
    writer.onBrokenPipe = [&] {
      ++calls;
      name = threadName();
    };
    writer.write(bytes("a\n"));
    writer.flush();
    ASSERT_EQ(calls, 1) << round;
    ASSERT_EQ(name, "zarn.stdout") << round;
    if (failedOn == std::this_thread::get_id()) ++failuresOnCaller;
    writer.write(bytes("b\n"));
    writer.flush();
    EXPECT_EQ(calls, 1) << round;
  }
  EXPECT_EQ(failuresOnCaller, 20);
}

TEST(StdoutWriter, MayBeDestroyedFromItsOwnCallback) {
  FakeOutput fake({{-1, EPIPE}});
  std::promise<void> written, destroyed;
  auto* writer = new StdoutWriter(1, fake.function());
  writer->onBrokenPipe = [&] {
    written.get_future().wait();  // no caller is inside the writer any more
    delete writer;
    destroyed.set_value();
  };
  writer->write(bytes("a\n"));
  written.set_value();
  EXPECT_EQ(destroyed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

std::string readAll(int fd) {
  std::string out;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(chunk, static_cast<size_t>(n));
  }
}

// Runs `child` in a forked process whose standard output is a pipe; returns
// what it printed and its wait status.
std::pair<std::string, int> runChild(void (*child)()) {
  int fds[2];
  if (pipe(fds) != 0) return {"", -1};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    child();
    _exit(99);
  }
  close(fds[1]);
  std::string out = readAll(fds[0]);
  close(fds[0]);
  int status = -1;
  waitpid(pid, &status, 0);
  return {out, status};
}

TEST(StdoutWriter, DefaultWriterWritesStandardOutput) {
  const auto [out, status] = runChild([] {
    StdoutWriter writer;
    writer.writeLine({{"path", "/tmp"}});
    writer.write(bytes("raw\n"));
    writer.flush();
    _exit(0);
  });
  EXPECT_EQ(out, "{\"path\":\"\\/tmp\"}\nraw\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(StdoutWriter, NeverDestroyedWriterSurvivesExitFromAnotherThread) {
  const auto [out, status] = runChild([] {
    static StdoutWriter& writer = *new StdoutWriter();
    writer.writeLine({{"first", true}});
    writer.flush();
    std::thread([] {
      writer.writeLine({{"last", true}});
      writer.flush();
      std::exit(0);
    }).detach();
    for (;;) writer.writeLine({{"busy", true}});
  });
  EXPECT_EQ(out.rfind("{\"first\":true}\n", 0), 0u) << out.substr(0, 100);
  EXPECT_NE(out.find("{\"last\":true}\n"), std::string::npos);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace capture
