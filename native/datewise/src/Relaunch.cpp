#include "Relaunch.h"

#include <dlfcn.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace datewise {
namespace {

constexpr std::string_view marker = "DATEWISE_DISCLAIMED";

// NUL-terminated copies for the spawn, released when the relaunch returns
// (in the program that is never: it exits).
class CStrings {
 public:
  explicit CStrings(const std::vector<std::string>& strings) {
    for (const std::string& s : strings) pointers_.push_back(strdup(s.c_str()));
    pointers_.push_back(nullptr);
  }
  ~CStrings() {
    for (char* p : pointers_) std::free(p);
  }
  CStrings(const CStrings&) = delete;
  CStrings& operator=(const CStrings&) = delete;
  char* const* data() const { return pointers_.data(); }

 private:
  std::vector<char*> pointers_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    // Present only where the platform can make the copy responsible for
    // itself; without it the copy runs with ordinary attribution.
    using Setter = int (*)(posix_spawnattr_t*, int);
    if (void* found = dlsym(RTLD_DEFAULT, "responsibility_spawnattrs_setdisclaim")) {
      reinterpret_cast<Setter>(found)(&attributes_, 1);
    }
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace

std::optional<std::string> executablePath() {
  const auto* name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (name && *name) return std::string(name);
  std::string buffer(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || size_t(n) >= buffer.size()) return std::nullopt;
  buffer.resize(size_t(n));
  return buffer;
}

std::vector<std::string> childArguments(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  std::copy_if(args.begin(), args.end(), std::back_inserter(out),
               [](const std::string& a) { return a != "--disclaim"; });
  return out;
}

std::vector<std::string> childEnvironment(char* const* envp) {
  std::map<std::string, std::string> variables;
  for (char* const* entry = envp; entry && *entry; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  variables[std::string(marker)] = "1";
  std::vector<std::string> out;
  for (const auto& [name, value] : variables) out.push_back(name + "=" + value);
  return out;
}

int exitCodeOfWaitStatus(int status) {
  if ((status & 0x7f) != 0) return 1;
  return (status >> 8) & 0xff;
}

SpawnCalls processSpawnCalls() {
  SpawnCalls calls;
  calls.executablePath = executablePath;
  calls.spawn = [](pid_t* pid, const char* path, const posix_spawnattr_t* attributes,
                   char* const argv[], char* const envp[]) {
    return posix_spawn(pid, path, nullptr, attributes, argv, envp);
  };
  calls.wait = [](pid_t pid, int* status) { return waitpid(pid, status, 0); };
  calls.writeError = [](std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      text.remove_prefix(size_t(n));
    }
  };
  return calls;
}

int relaunchExitCode(const std::vector<std::string>& args, char* const* envp,
                     const SpawnCalls& calls) {
  SpawnAttributes attributes;
  std::optional<std::string> path = calls.executablePath();
  if (!path) return 1;
  CStrings argv(childArguments(args));
  CStrings environment(childEnvironment(envp));
  pid_t pid = 0;
  int result = calls.spawn(&pid, path->c_str(), attributes.get(), argv.data(), environment.data());
  if (result != 0) {
    calls.writeError("datewise: re-exec failed (" + std::to_string(result) + ")\n");
    return 1;
  }
  int status = 0;
  while (calls.wait(pid, &status) < 0) {
    // Reporting success for a copy whose outcome is unknown would tell the
    // host application that the command ran.
    if (errno != EINTR) return 1;
  }
  return exitCodeOfWaitStatus(status);
}

void reexecDisclaimed(const std::vector<std::string>& args, char* const* envp) {
  std::exit(relaunchExitCode(args, envp, processSpawnCalls()));
}

}  // namespace datewise
