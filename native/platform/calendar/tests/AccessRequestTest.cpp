#include "calendar/AccessRequest.h"

#include <dirent.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "StoreFixture.h"

namespace calendar {
namespace {

// The dialog and the terminal must find nobody to ask: no display, and no
// controlling terminal (a new session; a process group leader cannot start
// one, so the tests then run in a child).
const bool detached = [] {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  if (setsid() >= 0) return true;
  const pid_t pid = fork();
  if (pid > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  return setsid() >= 0;
}();

class AccessRequest : public StoreFixture {
 protected:
  void prompt(const std::string& script, mode_t mode) {
    write("prompt", "#!/bin/sh\necho on stdout\necho on stderr >&2\n" + script);
    ASSERT_EQ(chmod((root() + "/prompt").c_str(), mode), 0);
  }

  struct Outcome {
    int calls = 0;
    bool granted = false;
    bool ownThread = false;
    std::int64_t status = 0;
  };

  // Requests access and waits for the completion.
  Outcome request() {
    auto store = openIcsCalendarStore(root());
    Outcome outcome;
    std::atomic<int> calls{0};
    std::promise<void> done;
    const auto caller = std::this_thread::get_id();
    store->requestFullAccessToEvents([&](bool granted, std::optional<std::string>) {
      outcome.granted = granted;
      outcome.ownThread = std::this_thread::get_id() != caller;
      if (calls.fetch_add(1) == 0) done.set_value();
    });
    EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a second call would show
    outcome.calls = calls.load();
    outcome.status = store->authorizationStatus();
    return outcome;
  }

  std::vector<std::string> files() {
    std::vector<std::string> names;
    DIR* dir = opendir(root().c_str());
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(AccessRequest, RecordsThePromptsAnswer) {
  ASSERT_TRUE(detached);
  struct Case {
    const char* name;
    std::string script;
    mode_t mode;
    std::int64_t status;  // afterwards; the store starts with "not-determined"
    bool granted;
  } cases[] = {
      {"yes", "exit 0\n", 0700, 3, true},
      {"no", "exit 1\n", 0755, 2, false},
      {"no answer", "exit 3\n", 0700, 0, false},
      {"killed", "kill -9 $$\n", 0700, 0, false},
      {"reads nothing from stdin", "read line && exit 0\nexit 1\n", 0700, 2, false},
      {"group-writable: passed over", "exit 0\n", 0770, 0, false},
      {"others-writable: passed over", "exit 0\n", 0707, 0, false},
      {"not executable: passed over", "exit 0\n", 0600, 0, false},
  };
  for (const auto& c : cases) {
    write("access", "not-determined\n");
    prompt(c.script, c.mode);
    std::fflush(nullptr);
    const int saved[2] = {dup(1), dup(2)};
    char path[] = "/tmp/calendar-access-output-XXXXXX";
    const int capture = mkstemp(path);
    dup2(capture, 1);
    dup2(capture, 2);
    const Outcome outcome = request();
    dup2(saved[0], 1);
    dup2(saved[1], 2);
    close(saved[0]);
    close(saved[1]);
    EXPECT_EQ(lseek(capture, 0, SEEK_END), 0) << c.name << ": something reached our output";
    close(capture);
    unlink(path);
    EXPECT_EQ(outcome.calls, 1) << c.name;
    EXPECT_TRUE(outcome.ownThread) << c.name;
    EXPECT_EQ(outcome.granted, c.granted) << c.name;
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(files(), (std::vector<std::string>{"access", "prompt"})) << c.name;
  }
}

TEST_F(AccessRequest, PassesOverAPromptOwnedBySomeoneElse) {
  ASSERT_TRUE(detached);
  if (getuid() != 0) GTEST_SKIP() << "needs root to give the prompt away";
  prompt("exit 0\n", 0755);
  ASSERT_EQ(chown((root() + "/prompt").c_str(), 4321, 4321), 0);
  EXPECT_EQ(runPrompt(root() + "/prompt"), PromptResult::unusable);
  mkdir((root() + "/dir").c_str(), 0700);
  EXPECT_EQ(runPrompt(root() + "/dir"), PromptResult::unusable);
  const Outcome outcome = request();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.calls, 1);
}

TEST_F(AccessRequest, CreatesTheStoreAndReplacesAccess) {
  ASSERT_TRUE(detached);
  const std::string store = root() + "/new/store";
  EXPECT_TRUE(recordAnswer(store, Answer::yes));
  std::ifstream in(store + "/access");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "granted\n");
  EXPECT_TRUE(recordAnswer(store, Answer::no));
  EXPECT_EQ(openIcsCalendarStore(store)->authorizationStatus(), 2);
  EXPECT_TRUE(recordAnswer(store, Answer::none));
  EXPECT_EQ(openIcsCalendarStore(store)->authorizationStatus(), 2);
  // Without a prompt nobody can be asked: access stays as it was.
  EXPECT_EQ(askPerson(store), Answer::none);
}

}  // namespace
}  // namespace calendar
