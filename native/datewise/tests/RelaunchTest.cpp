#include "Relaunch.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace datewise {
namespace {

std::vector<std::string> strings(char* const* list) {
  std::vector<std::string> out;
  for (; *list; ++list) out.push_back(*list);
  return out;
}

TEST(ChildArguments, DropsExactlyDisclaim) {
  using Args = std::vector<std::string>;
  const std::pair<Args, Args> cases[] = {
      {{"./dw", "--disclaim", "--status"}, {"./dw", "--status"}},
      {{"dw", "--disclaim", "--events", "--disclaim"}, {"dw", "--events"}},
      {{"dw", "--disclaim=1", "--DISCLAIM", "-disclaim", "--disclaim "},
       {"dw", "--disclaim=1", "--DISCLAIM", "-disclaim", "--disclaim "}},
      {{"--disclaim"}, {}},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(childArguments(args), expected) << ::testing::PrintToString(args);
  }
}

TEST(ChildEnvironment, SetsTheMarker) {
  using Env = std::vector<std::string>;
  const std::pair<Env, Env> cases[] = {
      {{}, {"DATEWISE_DISCLAIMED=1"}},
      {{"B=2", "A=x=y"}, {"A=x=y", "B=2", "DATEWISE_DISCLAIMED=1"}},
      {{"DATEWISE_DISCLAIMED=", "E="}, {"DATEWISE_DISCLAIMED=1", "E="}},
      {{"DATEWISE_DISCLAIMED=0", "DATEWISE_DISCLAIMED=7"}, {"DATEWISE_DISCLAIMED=1"}},
      {{"K=first", "K=second", "NOEQUALS"}, {"DATEWISE_DISCLAIMED=1", "K=first"}},
  };
  for (const auto& [env, expected] : cases) {
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    EXPECT_EQ(childEnvironment(envp.data()), expected) << ::testing::PrintToString(env);
  }
}

TEST(ExitCodeOfWaitStatus, SignalsAndCodes) {
  const std::pair<int, int> cases[] = {
      {0, 0}, {1 << 8, 1}, {2 << 8, 2}, {255 << 8, 255}, {9, 1}, {15 | 0x80, 1}, {6, 1},
  };
  for (const auto& [status, code] : cases) EXPECT_EQ(exitCodeOfWaitStatus(status), code) << status;
}

// Calls that record what the relaunch asks for and replay scripted waits.
struct Script {
  std::optional<std::string> path = "/opt/dw";
  int spawnResult = 0;
  std::deque<std::pair<pid_t, int>> waits;  // result, errno or status
  std::string spawnedPath, error;
  std::vector<std::string> argv, envp;
  int waitCalls = 0;

  SpawnCalls calls() {
    SpawnCalls c;
    c.executablePath = [this] { return path; };
    c.spawn = [this](pid_t* pid, const char* file, const posix_spawnattr_t*, char* const argv_[],
                     char* const envp_[]) {
      spawnedPath = file;
      argv = strings(argv_);
      envp = strings(envp_);
      *pid = 77;
      return spawnResult;
    };
    c.wait = [this](pid_t pid, int* status) -> pid_t {
      EXPECT_EQ(pid, 77);
      ++waitCalls;
      auto [result, value] = waits.front();
      waits.pop_front();
      if (result < 0) {
        errno = value;
      } else {
        *status = value;
      }
      return result;
    };
    c.writeError = [this](std::string_view text) { error += text; };
    return c;
  }
};

TEST(Relaunch, Outcomes) {
  struct Case {
    const char* name;
    std::optional<std::string> path;
    int spawnResult;
    std::deque<std::pair<pid_t, int>> waits;
    int code;
    const char* error;
    int waitCalls;
  } cases[] = {
      {"copy exits 0", "/opt/dw", 0, {{77, 0}}, 0, "", 1},
      {"copy exits 2", "/opt/dw", 0, {{77, 2 << 8}}, 2, "", 1},
      {"copy killed", "/opt/dw", 0, {{77, 9}}, 1, "", 1},
      {"interrupted waits repeat",
       "/opt/dw",
       0,
       {{-1, EINTR}, {-1, EINTR}, {77, 3 << 8}},
       3,
       "",
       3},
      {"wait fails: outcome unknown", "/opt/dw", 0, {{-1, ECHILD}}, 1, "", 1},
      {"spawn fails", "/opt/dw", 2, {}, 1, "datewise: re-exec failed (2)\n", 0},
      {"spawn fails with E2BIG", "/opt/dw", E2BIG, {}, 1, "datewise: re-exec failed (7)\n", 0},
      {"no executable path", std::nullopt, 0, {}, 1, "", 0},
  };
  char marker[] = "DATEWISE_DISCLAIMED=";
  char home[] = "HOME=/root";
  char* envp[] = {home, marker, nullptr};
  for (const Case& c : cases) {
    Script script;
    script.path = c.path;
    script.spawnResult = c.spawnResult;
    script.waits = c.waits;
    int code =
        relaunchExitCode({"dw", "--disclaim", "--events", "--disclaim=1"}, envp, script.calls());
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_EQ(script.error, c.error) << c.name;
    EXPECT_EQ(script.waitCalls, c.waitCalls) << c.name;
    if (c.path) {
      EXPECT_EQ(script.spawnedPath, *c.path) << c.name;
      EXPECT_EQ(script.argv, (std::vector<std::string>{"dw", "--events", "--disclaim=1"}))
          << c.name;
      EXPECT_EQ(script.envp, (std::vector<std::string>{"DATEWISE_DISCLAIMED=1", "HOME=/root"}))
          << c.name;
    }
  }
}

TEST(ExecutablePath, NamesThisProgram) {
  std::optional<std::string> path = executablePath();
  ASSERT_TRUE(path);
  char resolved[PATH_MAX], self[PATH_MAX] = {};
  ASSERT_TRUE(realpath(path->c_str(), resolved)) << *path;
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_STREQ(resolved, self);
}

}  // namespace
}  // namespace datewise
