#include "calendar/index/FileSpan.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <ctime>

#include "calendar/IcsFile.h"

namespace calendar {
namespace {

const char* const kBerlin =
    "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\n"
    "BEGIN:DAYLIGHT\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\n"
    "DTSTART:19700329T020000\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\nEND:DAYLIGHT\n"
    "BEGIN:STANDARD\nTZOFFSETFROM:+0200\nTZOFFSETTO:+0100\n"
    "DTSTART:19701025T030000\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\nEND:STANDARD\n"
    "END:VTIMEZONE\n";

// A zone far outside anything real, which only a file can define.
const char* const kFar =
    "BEGIN:VTIMEZONE\nTZID:Far\nBEGIN:STANDARD\nTZOFFSETFROM:+9000\nTZOFFSETTO:+9000\n"
    "DTSTART:19700101T000000\nEND:STANDARD\nEND:VTIMEZONE\n";

std::string calendarOf(const std::string& body) {
  return "BEGIN:VCALENDAR\nVERSION:2.0\n" + body + "END:VCALENDAR\n";
}

std::string event(const std::string& lines) { return "BEGIN:VEVENT\n" + lines + "END:VEVENT\n"; }

struct Case {
  const char* name;
  std::string text;
  bool endless;  // the span must reach +infinity
};

const Case kCases[] = {
    {"timed in a zone",
     calendarOf(std::string(kBerlin) + event("UID:a\nDTSTART;TZID=Europe/Berlin:20250303T100000\n"
                                             "DTEND;TZID=Europe/Berlin:20250303T103000\n")),
     false},
    {"all day, no end", calendarOf(event("UID:b\nDTSTART;VALUE=DATE:20250330\n")), false},
    {"floating with a duration", calendarOf(event("DTSTART:20250101T230000\nDURATION:P2DT3H\n")),
     false},
    {"utc, end before start",
     calendarOf(event("DTSTART:20250101T100000Z\nDTEND:20250101T090000Z\n")), false},
    {"counted weekly rule",
     calendarOf(event("DTSTART:20250106T090000Z\nDTEND:20250106T100000Z\n"
                      "RRULE:FREQ=WEEKLY;COUNT=30;BYDAY=MO,FR\n")),
     false},
    {"rule until a date",
     calendarOf(event("DTSTART;VALUE=DATE:20250101\nRRULE:FREQ=MONTHLY;UNTIL=20260101\n")), false},
    {"endless daily rule", calendarOf(event("DTSTART:20250101T080000\nRRULE:FREQ=DAILY\n")), true},
    {"dates added before the start",
     calendarOf(event("DTSTART:20250601T080000Z\nRDATE:20240101T080000Z,20270101T080000Z\n"
                      "RDATE;VALUE=PERIOD:20230101T000000Z/PT1H\n")),
     false},
    {"override moved far away",
     calendarOf(event("UID:s\nDTSTART:20250106T090000Z\nRRULE:FREQ=WEEKLY;COUNT=4\n") +
                event("UID:s\nRECURRENCE-ID:20250113T090000Z\nDTSTART:20300113T090000Z\n")),
     false},
    {"zone far from UTC",
     calendarOf(std::string(kFar) + event("DTSTART;TZID=Far:20250101T000000\nDURATION:PT1H\n")),
     false},
    {"until a month that does not exist",
     calendarOf(event("DTSTART:20250105T090000Z\nRRULE:FREQ=MONTHLY;UNTIL=20269368\n")), true},
    {"no end tag", calendarOf("BEGIN:VEVENT\nDTSTART:20250101T000000Z\n"), false},
    {"folded start",
     calendarOf("BEGIN:VEVENT\nDTST\n ART:20250101T100000Z\nSUMMARY:x\nEND:VEVENT\n"), false},
};

// Every occurrence a reader can return over decades must lie in the span, in
// each of a few process zones.
TEST(FileSpan, HoldsEveryOccurrenceTheReaderReturns) {
  const double from = 0, to = 2.2e9;  // 1970 to 2039
  for (const char* tz : {"UTC", "Pacific/Kiritimati", "Pacific/Pago_Pago", "Europe/Berlin"}) {
    setenv("TZ", tz, 1);
    tzset();
    for (const Case& c : kCases) {
      const FileSpan span = fileSpan(c.text);
      ZoneCache zones;
      std::vector<Event> events;
      const RawFile raw = scanIcs(c.text);
      appendFileEvents(c.text, raw, FileContext{}, from, to, zones, events);
      EXPECT_TRUE(!events.empty() || c.name == std::string("no end tag")) << c.name;
      for (const Event& e : events) {
        EXPECT_LE(span.lo, *e.startDate) << c.name << " in " << tz;
        EXPECT_GE(span.hi, *e.endDate) << c.name << " in " << tz;
      }
      EXPECT_EQ(std::isinf(span.hi) && span.hi > 0, c.endless) << c.name;
    }
  }
}

TEST(FileSpan, WhatCannotBePlacedIsEmptyAndWhatCannotBeReadIsEverything) {
  const struct {
    const char* name;
    std::string text;
    bool empty, everything;
  } cases[] = {
      {"no events", calendarOf(kBerlin), true, false},
      {"event without a start", calendarOf(event("SUMMARY:x\nDTEND:20250101T000000Z\n")), true,
       false},
      {"unreadable start", calendarOf(event("DTSTART:yesterday\n")), false, true},
      {"two starts", calendarOf(event("DTSTART:20250101T000000Z\nDTSTART:20260101T000000Z\n")),
       false, true},
      {"unreadable rule", calendarOf(event("DTSTART:20250101T000000Z\nRRULE:FREQ=SOMETIMES\n")),
       false, true},
      {"unreadable offset",
       calendarOf("BEGIN:VTIMEZONE\nTZID:X\nBEGIN:STANDARD\nTZOFFSETTO:+1\nEND:STANDARD\n"
                  "END:VTIMEZONE\n" +
                  event("DTSTART;TZID=X:20250101T000000\n")),
       false, false},
  };
  for (const auto& c : cases) {
    const FileSpan span = fileSpan(c.text);
    EXPECT_EQ(span.lo > span.hi, c.empty) << c.name;
    EXPECT_EQ(std::isinf(span.lo) && std::isinf(span.hi) && span.lo < span.hi, c.everything)
        << c.name;
    EXPECT_FALSE(span.meets(0, 0) && c.empty) << c.name;
  }
}

}  // namespace
}  // namespace calendar
