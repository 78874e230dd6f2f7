// The disclaimed relaunch: start a copy of this executable that is
// responsible for its own calendar permission, wait for it, and end with its
// exit code.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace datewise {

// The path of the running executable as it was started, unresolved: the file
// name given to execve (symbolic links and relative parts kept), else
// /proc/self/exe. Nothing when neither is available.
std::optional<std::string> executablePath();

// The copy's arguments: args in order, argument 0 included, without every
// argument exactly equal to "--disclaim".
std::vector<std::string> childArguments(const std::vector<std::string>& args);

// The copy's environment as name=value entries: envp (a null-terminated
// environ-style array) with DATEWISE_DISCLAIMED set to "1", added or
// replacing. A name given twice keeps its first value, as getenv sees it.
std::vector<std::string> childEnvironment(char* const* envp);

// The exit code for a wait status: 1 when the copy was ended by a signal,
// else the copy's own exit code.
int exitCodeOfWaitStatus(int status);

// The process calls the relaunch makes, replaceable for tests.
struct SpawnCalls {
  std::function<std::optional<std::string>()> executablePath;
  // As posix_spawn: 0 and the pid, or an error number.
  std::function<int(pid_t*, const char* path, const posix_spawnattr_t*, char* const argv[],
                    char* const envp[])>
      spawn;
  // As waitpid: the pid, or -1 with errno set.
  std::function<pid_t(pid_t, int* status)> wait;
  std::function<void(std::string_view)> writeError;
};

// The real calls: executablePath, posix_spawn, waitpid, one write to
// standard error.
SpawnCalls processSpawnCalls();

// Runs the relaunch and returns the first process's exit code: the copy's
// code; 1 if the copy was ended by a signal, its outcome cannot be learned,
// the executable path is unknown, or the spawn failed (then with the message
// "datewise: re-exec failed (N)\n" on standard error).
int relaunchExitCode(const std::vector<std::string>& args, char* const* envp,
                     const SpawnCalls& calls);

// relaunchExitCode with the process's calls, then exit. Never returns.
[[noreturn]] void reexecDisclaimed(const std::vector<std::string>& args, char* const* envp);

}  // namespace datewise
