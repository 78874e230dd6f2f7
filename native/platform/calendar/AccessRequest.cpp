#include "calendar/AccessRequest.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "calendar/StoreText.h"

extern char** environ;

namespace calendar {

// From datewise's property list, by the build.
const char* const kCalendarUsageText = CALENDAR_USAGE_TEXT;

namespace {

// Runs `argv` with all three standard streams on /dev/null and waits for it.
// The exit status, or -1 when it could not run or did not exit normally.
int runQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string findInPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    const auto colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    if (!dir.empty()) {
      std::string candidate = std::string(dir) + "/" + program;
      struct stat st {};
      if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return {};
    rest.remove_prefix(colon + 1);
  }
}

bool hasEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

Answer fromExit(int code) {
  return code == 0 ? Answer::yes : code == 1 ? Answer::no : Answer::none;
}

std::optional<Answer> askGraphically() {
  if (!hasEnv("WAYLAND_DISPLAY") && !hasEnv("DISPLAY")) return std::nullopt;
  if (std::string zenity = findInPath("zenity"); !zenity.empty()) {
    return fromExit(runQuietly({zenity, "--question", "--title=Calendar access",
                                std::string("--text=") + kCalendarUsageText}));
  }
  if (std::string kdialog = findInPath("kdialog"); !kdialog.empty()) {
    return fromExit(
        runQuietly({kdialog, "--title", "Calendar access", "--yesno", kCalendarUsageText}));
  }
  return std::nullopt;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> readLine(int fd) {
  std::string line;
  char c = 0;
  while (true) {
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
    if (c == '\n') return line;
    line += c;
  }
}

std::optional<Answer> askOnTerminal() {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string question =
      std::string(kCalendarUsageText) + "\nAllow access to your calendars? [y/n] ";
  Answer answer = Answer::none;
  for (int attempt = 0; attempt < 3 && writeAll(fd, question); ++attempt) {
    const auto line = readLine(fd);
    if (!line) break;
    const std::string word = foldCase(trimAscii(*line));
    if (word == "y" || word == "yes") answer = Answer::yes;
    if (word == "n" || word == "no") answer = Answer::no;
    if (answer != Answer::none) break;
    question = "Please answer y or n: ";
  }
  close(fd);
  return answer;
}

}  // namespace

PromptResult runPrompt(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return PromptResult::unusable;
  if (st.st_uid != getuid() && st.st_uid != 0) return PromptResult::unusable;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return PromptResult::unusable;
  if (access(path.c_str(), X_OK) != 0) return PromptResult::unusable;
  switch (runQuietly({path})) {
    case 0:
      return PromptResult::yes;
    case 1:
      return PromptResult::no;
    default:
      return PromptResult::noAnswer;
  }
}

Answer askPerson(const std::string& storeDirectory) {
  switch (runPrompt(storeDirectory + "/prompt")) {
    case PromptResult::yes:
      return Answer::yes;
    case PromptResult::no:
      return Answer::no;
    case PromptResult::noAnswer:
      return Answer::none;
    case PromptResult::unusable:
      break;
  }
  if (const auto answer = askGraphically()) return *answer;
  if (const auto answer = askOnTerminal()) return *answer;
  return Answer::none;
}

bool recordAnswer(const std::string& storeDirectory, Answer answer) {
  if (answer == Answer::none) return true;
  // The store may not exist yet when access is first granted.
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = storeDirectory.find('/', slash + 1);
    mkdir(storeDirectory.substr(0, slash).c_str(), 0700);
  }
  std::string temp = storeDirectory + "/.access.XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written =
      writeAll(fd, answer == Answer::yes ? "granted\n" : "denied\n") && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), (storeDirectory + "/access").c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace calendar
