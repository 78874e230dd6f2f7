// Reads arbitrary bytes as one calendar file. Oracle: every occurrence the
// reader returns for a window lies inside the span the index would record,
// in whichever of a few process zones the first byte picks; otherwise the
// index would skip a file that has events in the window.
#include <libical/ical.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "calendar/IcsFile.h"
#include "calendar/StoreText.h"
#include "calendar/index/FileSpan.h"

namespace {

void fail(int line) {
  std::fprintf(stderr, "oracle failed at line %d\n", line);
  std::abort();
}
#define check(ok) ((ok) ? (void)0 : fail(__LINE__))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static calendar::ZoneCache& zones = *new calendar::ZoneCache();
  static const bool once = [] {
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)once;
  if (size == 0) return 0;
  static const char* const kZones[] = {"UTC", "Europe/Berlin", "Pacific/Kiritimati",
                                       "Pacific/Pago_Pago"};
  setenv("TZ", kZones[data[0] % 4], 1);
  tzset();
  const std::string text =
      calendar::repairUtf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  const calendar::FileSpan span = calendar::fileSpan(text);
  std::vector<calendar::Event> events;
  const double start = 1704067200, end = 1798761600;  // 2024 to 2027
  calendar::appendFileEvents(text, calendar::scanIcs(text), calendar::FileContext{}, start, end,
                             zones, events);
  zones.limitSize();
  if (!events.empty()) check(span.meets(start, end));
  for (const calendar::Event& e : events) {
    check(span.lo <= *e.startDate);
    check(span.hi >= *e.endDate);
  }
  return 0;
}
