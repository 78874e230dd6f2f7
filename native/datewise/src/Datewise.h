// The calendar lookup: the pure pieces of the datewise program. Everything
// here is a function of its inputs; the module-level objects (the link
// pattern and the store) live in main.cpp and are passed in.
#pragma once

#include <unicode/regex.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "calendar/CalendarStore.h"

namespace datewise {

// The two usage texts, each written in one piece to standard error.
inline constexpr std::string_view generalUsage =
    "usage: datewise --status | --request | --events --from-ms=N --to-ms=N\n";
inline constexpr std::string_view eventsUsage = "usage: datewise --events --from-ms=N --to-ms=N\n";

// Returns the compiled join-link pattern (an https:// link up to white space,
// "<", ">", a quote, an apostrophe, ")" or "]"), or nothing if ICU refuses it,
// which only a broken build can cause.
std::unique_ptr<icu::RegexPattern> compileLinkRe();

// Returns the value of the first argument that begins with "--" name "=",
// everything after that prefix (possibly empty), or nothing when no argument
// carries the option. args includes argument 0.
std::optional<std::string> argValue(const std::vector<std::string>& args, std::string_view name);

// Reads a window bound: the whole text must be one strtod number in the C
// locale, with no leading white space. inf and nan are accepted; the caller's
// order check rejects nan.
std::optional<double> readNumber(const std::string& text);

// The status word of an authorization status: "not-determined",
// "restricted", "denied", "granted", "write-only", or "unknown".
std::string_view statusWord(std::int64_t authorizationStatus);

// Seconds since 1970 as whole milliseconds, truncated toward zero. A NaN gives
// 0; a value beyond the signed 64-bit range (infinities included) is clamped
// to the nearest end of that range.
std::int64_t millisecondsOf(double seconds);

// The e-mail address of a participant's mailto: URL, lower-cased and
// percent-decoded (undecoded when the escapes are malformed or the bytes not
// UTF-8); nothing for another scheme or an empty address.
std::optional<std::string> emailOf(const calendar::Participant& participant);

// The participant record: "me", "status", and "name"/"email" when known.
nlohmann::json personDict(const calendar::Participant& participant);

// The event record, or nothing for a canceled event or one the user has
// declined. linkRe is the pattern from compileLinkRe.
std::optional<nlohmann::json> eventDict(const calendar::Event& event,
                                        const icu::RegexPattern& linkRe);

// The window query: the records of every event between fromMs and toMs
// (milliseconds since 1970), ordered by start date (stable; an event without
// a start comes first), left-out events skipped.
nlohmann::json eventsInWindow(calendar::CalendarStore& store, double fromMs, double toMs,
                              const icu::RegexPattern& linkRe);

// The bytes emit writes for object: its compact JSON text and a line feed, or
// nothing when it cannot be serialised.
std::optional<std::string> emitLine(const nlohmann::json& object);

// Where a run writes. The process implementation is processOutputs().
class Outputs {
 public:
  virtual ~Outputs() = default;
  // emit: one line, unbuffered, in one write.
  virtual void emitBytes(std::string_view line) = 0;
  // The bare status word and its line feed, through buffered standard output.
  virtual void printWord(std::string_view line) = 0;
  // A usage text, in one write to standard error.
  virtual void writeError(std::string_view text) = 0;
};

// Writes to the process's standard output and error.
Outputs& processOutputs();

// Writes emitLine(object) through outputs, or nothing when it cannot be
// serialised.
void emit(Outputs& outputs, const nlohmann::json& object);

// What a run needs from its process. relaunch performs the disclaimed
// relaunch and, in the program, never returns; openStore creates the store
// the first time it is called and returns the same one afterwards.
struct RunContext {
  std::vector<std::string> args;  // argument 0 included
  bool disclaimedMarker = false;  // DATEWISE_DISCLAIMED present, whatever its value
  std::function<int()> relaunch;
  std::function<calendar::CalendarStore&()> openStore;
  const icu::RegexPattern* linkRe = nullptr;
  Outputs* outputs = nullptr;
};

// One run after the link pattern is compiled: the relaunch decision, the
// store, then exactly one mode. Returns the exit code: 0 done, 1 usage (or
// what relaunch returns), 2 events asked for without permission.
int run(const RunContext& context);

}  // namespace datewise
