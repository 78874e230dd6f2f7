// Reads arbitrary bytes as one calendar file over a fixed window. Oracle: the
// reader never crashes or hangs, every text it returns is valid UTF-8, and
// every occurrence lies in the window by the overlap rule.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "calendar/IcsFile.h"
#include "calendar/StoreText.h"

namespace {

void fail(int line) {
  std::fprintf(stderr, "oracle failed at line %d\n", line);
  std::abort();
}
#define check(ok) ((ok) ? (void)0 : fail(__LINE__))

void checkText(const std::optional<std::string>& text) {
  if (text) check(calendar::isValidUtf8(*text) && text->find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static calendar::ZoneCache& zones = *new calendar::ZoneCache();
  static const calendar::AddressSet& me = *new calendar::AddressSet{"me@example.com"};
  static const bool once = [] {
    setenv("TZ", "Europe/Berlin", 1);
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)once;
  const std::string text =
      calendar::repairUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  check(calendar::isValidUtf8(text));
  const calendar::RawFile raw = calendar::scanIcs(text);
  calendar::FileContext context;
  context.itemPath = "fuzz/f.ics";
  context.me = &me;
  std::vector<calendar::Event> events;
  const double start = 1748736000, end = 1751328000;  // June 2025
  calendar::appendFileEvents(text, raw, context, start, end, zones, events);
  zones.limitSize();
  // The cheap look that spares parsing must never hide an event.
  check(events.empty() || calendar::mayOverlap(calendar::scanIcs(text, true), start, end));
  for (const calendar::Event& e : events) {
    check(e.startDate && e.endDate && *e.endDate >= *e.startDate);
    const bool inWindow = *e.endDate > *e.startDate ? *e.startDate<end&& * e.endDate> start
                                                    : *e.startDate >= start && *e.startDate < end;
    check(inWindow);
    for (const auto* text : {&e.title, &e.location, &e.notes, &e.url, &e.eventIdentifier}) {
      checkText(*text);
    }
    for (const auto& p : e.attendees.value_or(std::vector<calendar::Participant>{})) {
      checkText(p.name);
      checkText(p.url);
    }
  }
  return 0;
}
