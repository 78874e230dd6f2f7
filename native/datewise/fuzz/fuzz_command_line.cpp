// Any command line, any permission state: the run ends with one of the
// outcomes of the mode table, and what it writes is consistent with the code.
//
// Input: byte 0 picks the permission before and after a request and whether
// the marker variable is set; the rest, split at NUL bytes, are the
// arguments after argument 0. An argument whose first byte is 1 to 6 stands
// for a flag or an option prefix followed by the rest of the argument, so the
// fuzzer reaches the modes quickly.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Datewise.h"

namespace {

using datewise::Outputs;

class FakeStore final : public calendar::CalendarStore {
 public:
  ~FakeStore() override {
    if (prompt_.joinable()) prompt_.join();
  }
  std::int64_t authorizationStatus() override { return status; }
  void requestFullAccessToEvents(
      std::function<void(bool, std::optional<std::string>)> completion) override {
    ++requests;
    prompt_ = std::thread([this, completion] {
      status = statusAfterRequest;
      completion(true, std::nullopt);
    });
  }
  std::vector<calendar::Event> eventsMatching(const calendar::EventPredicate&) override {
    calendar::Event kept, canceled;
    kept.calendarItemIdentifier = "a/b.ics#1";
    kept.startDate = 1.5;
    kept.notes = "see https://x.example/j";
    canceled.status = 3;
    return {canceled, kept};
  }
  std::int64_t status = 0;
  std::int64_t statusAfterRequest = 0;
  int requests = 0;

 private:
  std::thread prompt_;
};

class Recording final : public Outputs {
 public:
  void emitBytes(std::string_view line) override { emitted += line, ++emits; }
  void printWord(std::string_view line) override { word += line; }
  void writeError(std::string_view text) override { error += text; }
  std::string emitted, word, error;
  int emits = 0;
};

// A broken promise names itself before the crash, so a finding says which.
#define require(condition) \
  ((condition) ? void(0) : (std::fprintf(stderr, "failed: %s\n", #condition), std::abort()))

bool has(const std::vector<std::string>& args, std::string_view flag) {
  for (const auto& a : args) {
    if (a == flag) return true;
  }
  return false;
}

// The window bound as the host application means it, worked out here
// independently of the program's reading.
std::optional<double> bound(const std::vector<std::string>& args, const std::string& prefix) {
  for (const auto& a : args) {
    if (a.compare(0, prefix.size(), prefix) != 0) continue;
    std::string value = a.substr(prefix.size());
    if (value.empty() || std::strchr(" \t\n\v\f\r", value[0])) return std::nullopt;
    if (value.find('\0') != std::string::npos) return std::nullopt;
    char* end = nullptr;
    double n = std::strtod(value.c_str(), &end);
    if (end != value.c_str() + value.size()) return std::nullopt;
    return n;
  }
  return std::nullopt;
}

const std::int64_t statuses[] = {0, 1, 2, 3, 4, 7, -1, 3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const icu::RegexPattern& linkRe = *datewise::compileLinkRe().release();
  if (size == 0) return 0;
  const char* tokens[] = {"",           "--status",   "--request", "--events",
                          "--disclaim", "--from-ms=", "--to-ms="};
  std::vector<std::string> args = {"datewise"};
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t start = 0; start <= input.size();) {
    size_t end = std::min(input.find('\0', start), input.size());
    std::string arg = input.substr(start, end - start);
    if (!arg.empty() && arg[0] >= 1 && arg[0] <= 6) arg = tokens[int(arg[0])] + arg.substr(1);
    args.push_back(arg);
    start = end + 1;
  }

  FakeStore store;
  store.status = statuses[data[0] & 7];
  store.statusAfterRequest = statuses[(data[0] >> 3) & 7];
  bool marker = data[0] & 0x40;
  Recording out;
  int relaunches = 0, opened = 0;
  datewise::RunContext context;
  context.args = args;
  context.disclaimedMarker = marker;
  context.relaunch = [&] { return ++relaunches, 0; };
  context.openStore = [&]() -> calendar::CalendarStore& { return ++opened, store; };
  context.linkRe = &linkRe;
  context.outputs = &out;
  int code = datewise::run(context);

  require(code == 0 || code == 1 || code == 2);
  if (has(args, "--disclaim") && !marker) {
    require(relaunches == 1 && opened == 0 && code == 0);
    require(out.emitted.empty() && out.word.empty() && out.error.empty());
    return 0;
  }
  require(relaunches == 0 && opened == 1);
  std::string before(datewise::statusWord(statuses[data[0] & 7]));
  if (has(args, "--status") || has(args, "--request")) {
    bool asks = !has(args, "--status") && before == "not-determined";
    std::string word = asks ? std::string(datewise::statusWord(store.statusAfterRequest)) : before;
    require(code == 0 && out.word == word + "\n" && store.requests == (asks ? 1 : 0));
    require(out.emitted.empty() && out.error.empty());
  } else if (has(args, "--events")) {
    std::optional<double> from = bound(args, "--from-ms="), to = bound(args, "--to-ms=");
    require(out.word.empty() && store.requests == 0);
    if (!from || !to || !(*from < *to)) {
      require(code == 1 && out.error == datewise::eventsUsage && out.emits == 0);
      return 0;
    }
    require(out.error.empty() && out.emits == 1);
    require(out.emitted.back() == '\n' && out.emitted.find('\n') == out.emitted.size() - 1);
    auto object = nlohmann::json::parse(out.emitted, nullptr, false);
    require(object.is_object() && object.size() == 2 && object["status"] == before);
    require(code == (before == "granted" ? 0 : 2));
    require(object["events"].size() == (code == 0 ? 1u : 0u));
  } else {
    require(code == 1 && out.error == datewise::generalUsage);
    require(out.emitted.empty() && out.word.empty());
  }
  return 0;
}
