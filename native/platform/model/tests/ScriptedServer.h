// Runs scripted_server.py as a child process for one test and stops it at
// the end. SCRIPTED_SERVER is the script's path.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace model::testing {

class ScriptedServer {
 public:
  // `arguments` go to the script as they are (for example "--models=a,b").
  explicit ScriptedServer(std::vector<std::string> arguments = {}) {
    char directory[] = "/tmp/scripted-server-XXXXXX";
    if (mkdtemp(directory) != nullptr) record_ = std::string(directory) + "/requests.jsonl";
    // Debian's interpreter when there is one: wrappers such as pyenv's take
    // a second to start.
    std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    arguments.insert(arguments.begin(), {python, SCRIPTED_SERVER, "--record=" + record_});
    int output[2];
    if (pipe(output) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(output[1], 1);
      close(output[0]);
      close(output[1]);
      std::vector<char*> argv;
      for (auto& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(output[1]);
    std::string line;
    char c;
    while (read(output[0], &c, 1) == 1 && c != '\n') line += c;
    close(output[0]);
    port_ = std::atoi(line.c_str());
  }

  ~ScriptedServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::remove(record_.c_str());
    std::remove(record_.substr(0, record_.rfind('/')).c_str());
  }

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }

  // Every request received so far: {"path", "authorization", "body"}, with
  // the body parsed.
  std::vector<nlohmann::json> requests() const {
    std::vector<nlohmann::json> result;
    std::ifstream in(record_);
    for (std::string line; std::getline(in, line);) {
      nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (entry.is_discarded()) continue;
      entry["body"] = nlohmann::json::parse(entry.value("body", ""), nullptr, false);
      result.push_back(std::move(entry));
    }
    return result;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string record_;
};

}  // namespace model::testing
