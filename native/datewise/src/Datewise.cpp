#include "Datewise.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <locale.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <semaphore>

#include "common/JsonText.h"

namespace datewise {
namespace {

using calendar::Event;
using calendar::Participant;

// The platform's distant past, the start of year 1 UTC: the sort key of an
// event without a start date.
constexpr double distantPast = -62135596800.0;

icu::UnicodeString unicodeOf(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())));
}

std::string utf8Of(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// Full default lower-case mapping (root locale), so "İ" becomes "i̇", not "i".
std::string lowerCased(std::string_view utf8) {
  icu::UnicodeString text = unicodeOf(utf8);
  text.toLower(icu::Locale::getRoot());
  return utf8Of(text);
}

bool isValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = int32_t(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

// The store promises UTF-8; should a text break that promise, its bad bytes
// become U+FFFD here instead of making the whole output line unwritable.
std::string repaired(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
  return utf8Of(unicodeOf(text));
}

// Removes White_Space characters from both ends; inner ones stay.
std::string trimmed(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t length = int32_t(utf8.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, 0, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return std::string(utf8.substr(size_t(begin), size_t(end - begin)));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %XX escapes; nothing when an escape is malformed or the bytes are
// not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += char(high * 16 + low);
    i += 2;
  }
  if (!isValidUtf8(out)) return std::nullopt;
  return out;
}

std::string_view participantStatusWord(std::int64_t status) {
  switch (status) {
    case 2:
      return "accepted";
    case 3:
      return "declined";
    case 4:
      return "tentative";
    default:
      return "pending";
  }
}

std::string_view calendarKindWord(std::int64_t type) {
  switch (type) {
    case 0:
      return "local";
    case 1:
      return "caldav";
    case 2:
      return "exchange";
    case 3:
      return "subscription";
    case 4:
      return "birthday";
    default:
      return "unknown";
  }
}

// The first match of linkRe in text, or nothing.
std::optional<std::string> firstLink(const icu::RegexPattern& linkRe, std::string_view text) {
  icu::UnicodeString input = unicodeOf(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(linkRe.matcher(input, status));
  if (U_FAILURE(status) || !matcher) return std::nullopt;
  if (!matcher->find(status) || U_FAILURE(status)) return std::nullopt;
  icu::UnicodeString match = matcher->group(status);
  if (U_FAILURE(status)) return std::nullopt;
  return utf8Of(match);
}

std::optional<std::string> joinLink(const Event& event, const icu::RegexPattern& linkRe) {
  for (const auto* candidate : {&event.url, &event.location, &event.notes}) {
    if (!*candidate || (*candidate)->empty()) continue;
    if (auto link = firstLink(linkRe, **candidate)) return link;
  }
  return std::nullopt;
}

// The first kept attendee who is the user decides; later entries do not.
bool declinedByUser(const std::vector<const Participant*>& kept) {
  for (const Participant* p : kept) {
    if (p->isCurrentUser) return p->participantStatus == 3;
  }
  return false;
}

std::int64_t millisecondsOrZero(const std::optional<double>& date) {
  return date ? millisecondsOf(*date) : 0;
}

double sortKey(const Event& event) {
  // A NaN start would break the ordering the sort relies on; it sorts with
  // the events that have no start.
  if (!event.startDate || std::isnan(*event.startDate)) return distantPast;
  return *event.startDate;
}

bool hasFlag(const std::vector<std::string>& args, std::string_view flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

std::string wordOf(calendar::CalendarStore& store) {
  return std::string(statusWord(store.authorizationStatus()));
}

void requestAccess(calendar::CalendarStore& store) {
  // Shared with the completion, which may still be inside release() when the
  // waiter wakes up.
  auto signal = std::make_shared<std::counting_semaphore<>>(0);
  store.requestFullAccessToEvents(
      [signal](bool, std::optional<std::string>) { signal->release(); });
  signal->acquire();
}

int runEvents(const RunContext& context, calendar::CalendarStore& store) {
  Outputs& out = *context.outputs;
  std::optional<double> from, to;
  if (auto text = argValue(context.args, "from-ms")) from = readNumber(*text);
  if (from) {
    if (auto text = argValue(context.args, "to-ms")) to = readNumber(*text);
  }
  if (!from || !to || !(*from < *to)) {
    out.writeError(eventsUsage);
    return 1;
  }
  std::string word = wordOf(store);
  if (word != "granted") {
    emit(out, {{"status", word}, {"events", nlohmann::json::array()}});
    return 2;
  }
  emit(out, {{"status", word}, {"events", eventsInWindow(store, *from, *to, *context.linkRe)}});
  return 0;
}

// One write in the normal case; should a pipe take a long line in parts, the
// rest follows instead of being lost.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(size_t(n));
  }
}

class ProcessOutputs final : public Outputs {
 public:
  void emitBytes(std::string_view line) override { writeAll(STDOUT_FILENO, line); }
  void printWord(std::string_view line) override {
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  void writeError(std::string_view text) override { writeAll(STDERR_FILENO, text); }
};

}  // namespace

std::unique_ptr<icu::RegexPattern> compileLinkRe() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> pattern(
      icu::RegexPattern::compile(icu::UnicodeString(u"https://[^\\s<>\"')\\]]+"), 0, status));
  if (U_FAILURE(status)) return nullptr;
  return pattern;
}

std::optional<std::string> argValue(const std::vector<std::string>& args, std::string_view name) {
  std::string prefix = "--" + std::string(name) + "=";
  for (const std::string& arg : args) {
    if (arg.starts_with(prefix)) return arg.substr(prefix.size());
  }
  return std::nullopt;
}

std::optional<double> readNumber(const std::string& text) {
  if (text.empty() || std::string_view(" \t\n\v\f\r").find(text[0]) != std::string_view::npos) {
    return std::nullopt;
  }
  // The process locale may use another decimal point; the numbers on the
  // command line always use ".".
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

std::string_view statusWord(std::int64_t authorizationStatus) {
  switch (authorizationStatus) {
    case calendar::notDetermined:
      return "not-determined";
    case calendar::restricted:
      return "restricted";
    case calendar::denied:
      return "denied";
    case calendar::fullAccess:
      return "granted";
    case calendar::writeOnly:
      return "write-only";
    default:
      return "unknown";
  }
}

std::int64_t millisecondsOf(double seconds) {
  double ms = std::trunc(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  // 2^63 is the first double past the int64 range; -2^63 itself fits.
  if (ms >= 9223372036854775808.0) return INT64_MAX;
  if (ms < -9223372036854775808.0) return INT64_MIN;
  return std::int64_t(ms);
}

std::optional<std::string> emailOf(const Participant& participant) {
  icu::UnicodeString url = unicodeOf(participant.url);
  icu::UnicodeString lower(url);
  lower.toLower(icu::Locale::getRoot());
  if (!lower.startsWith(icu::UnicodeString(u"mailto:"))) return std::nullopt;
  std::string rest = utf8Of(url.tempSubString(7));
  std::string address = percentDecoded(rest).value_or(rest);
  if (address.empty()) return std::nullopt;
  return lowerCased(address);
}

nlohmann::json personDict(const Participant& participant) {
  nlohmann::json record = {{"me", participant.isCurrentUser},
                           {"status", participantStatusWord(participant.participantStatus)}};
  if (participant.name && !participant.name->empty()) record["name"] = repaired(*participant.name);
  if (auto email = emailOf(participant)) record["email"] = *email;
  return record;
}

std::optional<nlohmann::json> eventDict(const Event& event, const icu::RegexPattern& linkRe) {
  if (event.status == 3) return std::nullopt;
  std::vector<const Participant*> kept;
  if (event.attendees) {
    for (const Participant& p : *event.attendees) {
      if (p.participantType == 0 || p.participantType == 1) kept.push_back(&p);
    }
  }
  if (declinedByUser(kept)) return std::nullopt;

  std::int64_t start = millisecondsOrZero(event.startDate);
  const std::string& identifier = event.eventIdentifier.value_or(event.calendarItemIdentifier);
  nlohmann::json attendees = nlohmann::json::array();
  for (const Participant* p : kept) attendees.push_back(personDict(*p));
  const auto& cal = event.calendar;
  nlohmann::json record = {
      {"id", repaired(identifier) + "@" + std::to_string(start)},
      {"title", trimmed(repaired(event.title.value_or("")))},
      {"start", start},
      {"end", millisecondsOrZero(event.endDate)},
      {"allDay", event.isAllDay},
      {"calendar", cal ? repaired(cal->title) : ""},
      {"calendarKind", cal ? calendarKindWord(cal->type) : "unknown"},
      {"writable", cal ? cal->allowsContentModifications : false},
      {"attendees", std::move(attendees)},
  };
  if (event.location && !event.location->empty()) record["location"] = repaired(*event.location);
  if (auto link = joinLink(event, linkRe)) record["joinUrl"] = *link;
  if (event.organizer) record["organizer"] = personDict(*event.organizer);
  return record;
}

nlohmann::json eventsInWindow(calendar::CalendarStore& store, double fromMs, double toMs,
                              const icu::RegexPattern& linkRe) {
  std::vector<Event> events =
      store.eventsMatching(store.predicateForEvents(fromMs / 1000.0, toMs / 1000.0));
  std::vector<const Event*> order;
  order.reserve(events.size());
  for (const Event& e : events) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(),
                   [](const Event* a, const Event* b) { return sortKey(*a) < sortKey(*b); });
  nlohmann::json records = nlohmann::json::array();
  for (const Event* e : order) {
    if (auto record = eventDict(*e, linkRe)) records.push_back(std::move(*record));
  }
  return records;
}

std::optional<std::string> emitLine(const nlohmann::json& object) {
  std::optional<std::string> text = common::jsonText(object);
  if (!text) return std::nullopt;
  *text += '\n';
  return text;
}

Outputs& processOutputs() {
  static auto& outputs = *new ProcessOutputs();
  return outputs;
}

void emit(Outputs& outputs, const nlohmann::json& object) {
  if (auto line = emitLine(object)) outputs.emitBytes(*line);
}

int run(const RunContext& context) {
  const auto& args = context.args;
  if (hasFlag(args, "--disclaim") && !context.disclaimedMarker) return context.relaunch();
  calendar::CalendarStore& store = context.openStore();
  if (hasFlag(args, "--status")) {
    context.outputs->printWord(wordOf(store) + "\n");
    return 0;
  }
  if (hasFlag(args, "--request")) {
    if (store.authorizationStatus() == calendar::notDetermined) requestAccess(store);
    context.outputs->printWord(wordOf(store) + "\n");
    return 0;
  }
  if (hasFlag(args, "--events")) return runEvents(context, store);
  context.outputs->writeError(generalUsage);
  return 1;
}

}  // namespace datewise
