#include <fcntl.h>
#include <libical/ical.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "StoreFixture.h"
#include "calendar/IcsFile.h"
#include "calendar/StoreText.h"

namespace calendar {
namespace {

const char* const kBerlin =
    "BEGIN:VTIMEZONE\n"
    "TZID:Europe/Berlin\n"
    "BEGIN:DAYLIGHT\n"
    "TZOFFSETFROM:+0100\nTZOFFSETTO:+0200\nTZNAME:CEST\n"
    "DTSTART:19700329T020000\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\n"
    "END:DAYLIGHT\n"
    "BEGIN:STANDARD\n"
    "TZOFFSETFROM:+0200\nTZOFFSETTO:+0100\nTZNAME:CET\n"
    "DTSTART:19701025T030000\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\n"
    "END:STANDARD\n"
    "END:VTIMEZONE\n";

using Starts = std::vector<std::pair<std::string, double>>;  // identifier, start

Starts startsOf(const std::vector<Event>& events) {
  Starts out;
  for (const Event& e : events)
    out.emplace_back(e.calendarItemIdentifier, e.startDate.value_or(-1));
  return out;
}

class IcsStore : public StoreFixture {};

TEST_F(IcsStore, ExpandsRecurrencesWithExceptionsAndOverrides) {
  // Mondays 10:00 Berlin across the change to summer time on 30 March 2025.
  write("calendars/work/weekly.ics",
        ics(std::string(kBerlin) +
            vevent("UID:weekly\nDTSTART;TZID=Europe/Berlin:20250303T100000\n"
                   "DTEND;TZID=Europe/Berlin:20250303T103000\nRRULE:FREQ=WEEKLY;BYDAY=MO\n"
                   "EXDATE;TZID=Europe/Berlin:20250310T100000\n"
                   "RDATE;TZID=America/New_York:20250312T090000\nSUMMARY:Sync\n") +
            // Moved to the Tuesday; named in the series' zone.
            vevent("UID:weekly\nRECURRENCE-ID;TZID=Europe/Berlin:20250317T100000\n"
                   "DTSTART;TZID=Europe/Berlin:20250318T150000\n"
                   "DTEND;TZID=Europe/Berlin:20250318T153000\nSUMMARY:Sync (moved)\n") +
            // Moved out to May; named in UTC.
            vevent("UID:weekly\nRECURRENCE-ID:20250324T090000Z\n"
                   "DTSTART;TZID=Europe/Berlin:20250506T100000\n"
                   "DTEND;TZID=Europe/Berlin:20250506T103000\n") +
            // Moved in from outside the window queried below.
            vevent("UID:weekly\nRECURRENCE-ID;TZID=Europe/Berlin:20250407T100000\n"
                   "DTSTART;TZID=Europe/Berlin:20250327T080000\n"
                   "DTEND;TZID=Europe/Berlin:20250327T083000\n")));
  const auto events = query(utc("20250301T000000"), utc("20250401T000000"));
  const Starts expected = {
      {"work/weekly.ics#1", utc("20250303T090000")},
      {"work/weekly.ics#1", utc("20250312T130000")},  // the RDATE, 09:00 in New York
      {"work/weekly.ics#2", utc("20250318T140000")},
      {"work/weekly.ics#4", utc("20250327T070000")},
      {"work/weekly.ics#1", utc("20250331T080000")},  // summer time
  };
  EXPECT_EQ(startsOf(events), expected);
  for (const Event& e : events) {
    EXPECT_EQ(*e.endDate - *e.startDate, 1800) << e.calendarItemIdentifier;
    EXPECT_EQ(e.eventIdentifier, "weekly");
  }
  EXPECT_EQ(events[2].title, "Sync (moved)");

  const Starts may = {{"work/weekly.ics#1", utc("20250505T080000")},
                      {"work/weekly.ics#3", utc("20250506T080000")}};
  EXPECT_EQ(startsOf(query(utc("20250505T000000"), utc("20250507T000000"))), may);
}

TEST_F(IcsStore, ReadsTimesInTheirZones) {
  // A zone named Europe/Berlin with another definition: the file's own
  // definition wins, and zones shared between files are told apart by their
  // definitions. One that changes daily is not believed.
  const std::string other =
      "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\nBEGIN:STANDARD\nTZOFFSETFROM:+0300\n"
      "TZOFFSETTO:+0300\nDTSTART:19700101T000000\nEND:STANDARD\nEND:VTIMEZONE\n";
  const std::string daily =
      "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\nBEGIN:STANDARD\nTZOFFSETFROM:+0300\n"
      "TZOFFSETTO:+0300\nDTSTART:19700101T000000\nRRULE:FREQ=SECONDLY\nEND:STANDARD\n"
      "END:VTIMEZONE\n";
  struct Case {
    const char* name;
    std::string lines;
    double start, end;
    bool allDay;
    std::string zone = kBerlin;
  } cases[] = {
      {"utc", "DTSTART:20250601T100000Z\nDTEND:20250601T110000Z\n", utc("20250601T100000"),
       utc("20250601T110000"), false},
      {"floating in TZ", "DTSTART:20250601T100000\nDURATION:PT45M\n", utc("20250601T080000"),
       utc("20250601T084500"), false},
      {"system zone", "DTSTART;TZID=Asia/Tokyo:20250601T100000\n", utc("20250601T010000"),
       utc("20250601T010000"), false},
      {"file zone beats system", "DTSTART;TZID=Europe/Berlin:20250601T100000\n",
       utc("20250601T070000"), utc("20250601T070000"), false, other},
      {"implausible file zone", "DTSTART;TZID=Europe/Berlin:20250601T100000\n",
       utc("20250601T080000"), utc("20250601T080000"), false, daily},
      {"all day, default length", "DTSTART;VALUE=DATE:20250601\n", utc("20250531T220000"),
       utc("20250601T220000"), true},
      {"all day over the change to summer time", "DTSTART;VALUE=DATE:20250330\n",
       utc("20250329T230000"), utc("20250330T220000"), true},
      {"all day, three days by DTEND", "DTSTART;VALUE=DATE:20251025\nDTEND;VALUE=DATE:20251028\n",
       utc("20251024T220000"), utc("20251027T230000"), true},
      {"all day by DURATION", "DTSTART;VALUE=DATE:20250601\nDURATION:P2D\n", utc("20250531T220000"),
       utc("20250602T220000"), true},
      {"end before start", "DTSTART:20250601T100000Z\nDTEND:20250601T090000Z\n",
       utc("20250601T100000"), utc("20250601T100000"), false},
  };
  for (const auto& c : cases) {
    write("calendars/a/b.ics", ics(c.zone + vevent("UID:x\n" + c.lines)));
    write("calendars/a/c.ics", ics(std::string(kBerlin) +
                                   vevent("UID:y\nDTSTART;TZID=Europe/Berlin:20250601T120000\n")));
    const auto events = query(utc("20250101T000000"), utc("20260101T000000"));
    ASSERT_EQ(events.size(), 2u) << c.name;
    EXPECT_EQ(events[0].startDate, c.start) << c.name;
    EXPECT_EQ(events[0].endDate, c.end) << c.name;
    EXPECT_EQ(events[0].isAllDay, c.allDay) << c.name;
    EXPECT_EQ(events[1].startDate, utc("20250601T100000")) << c.name;
  }
}

TEST_F(IcsStore, StepsFloatingAndAllDayRulesInLocalTime) {
  write("calendars/a/daily.ics",
        ics(vevent("UID:d\nDTSTART:20250328T100000\nRRULE:FREQ=DAILY;COUNT=4\n") +
            vevent("UID:u\nDTSTART;TZID=Europe/Berlin:20250328T100000\n"
                   "RRULE:FREQ=DAILY;UNTIL=20250331T080000Z\n") +
            vevent("UID:w\nDTSTART;VALUE=DATE:20250329\nRRULE:FREQ=DAILY;COUNT=2\n")));
  const Starts expected = {
      {"a/daily.ics#1", utc("20250328T090000")}, {"a/daily.ics#2", utc("20250328T090000")},
      {"a/daily.ics#3", utc("20250328T230000")}, {"a/daily.ics#1", utc("20250329T090000")},
      {"a/daily.ics#2", utc("20250329T090000")}, {"a/daily.ics#3", utc("20250329T230000")},
      {"a/daily.ics#1", utc("20250330T080000")}, {"a/daily.ics#2", utc("20250330T080000")},
      {"a/daily.ics#1", utc("20250331T080000")}, {"a/daily.ics#2", utc("20250331T080000")},
  };
  const auto events = query(utc("20250301T000000"), utc("20250401T000000"));
  EXPECT_EQ(startsOf(events), expected);
  EXPECT_EQ(events[5].endDate, utc("20250330T220000"));  // a 23-hour day
}

// Starting the rule iterator near the window must give what stepping it from
// its first occurrence gives.
TEST_F(IcsStore, ExpandsNearTheWindowAsFromTheStart) {
  const char* rules[] = {
      "FREQ=WEEKLY;BYDAY=MO,WE,FR",
      "FREQ=WEEKLY;INTERVAL=2;BYDAY=TU",
      "FREQ=DAILY;INTERVAL=3",
      "FREQ=MONTHLY;BYDAY=2TH",
      "FREQ=MONTHLY;BYMONTHDAY=31",
      "FREQ=YEARLY;BYMONTH=2",
      "FREQ=MONTHLY;INTERVAL=5",
      "FREQ=WEEKLY;UNTIL=20310401T000000Z",
      "FREQ=HOURLY;INTERVAL=7",
      "FREQ=MONTHLY;BYDAY=-1FR;BYMONTH=1,6",
      "FREQ=DAILY;INTERVAL=10",
      "FREQ=WEEKLY;INTERVAL=3;BYDAY=MO,TH",
      "FREQ=YEARLY;INTERVAL=3;BYMONTH=3;BYMONTHDAY=1",
      "FREQ=MONTHLY;INTERVAL=2;BYMONTHDAY=15,-1",
      "FREQ=MINUTELY;INTERVAL=90",
      "FREQ=WEEKLY;INTERVAL=2;BYDAY=SU;WKST=SU",
  };
  const double from = utc("20310115T000000"), to = utc("20310501T000000");
  for (const char* rule : rules) {
    write("calendars/a/r.ics",
          ics(vevent("UID:r\nDTSTART:20250106T150000Z\nDTEND:20250106T160000Z\n"
                     "RRULE:" +
                     std::string(rule) + "\n")));
    std::vector<double> expected;
    icalrecur_iterator* it = icalrecur_iterator_new(icalrecurrencetype_from_string(rule),
                                                    icaltime_from_string("20250106T150000Z"));
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
         t = icalrecur_iterator_next(it)) {
      const double s = static_cast<double>(icaltime_as_timet(t));
      if (s >= to) break;
      if (s + 3600 > from) expected.push_back(s);
    }
    icalrecur_iterator_free(it);
    std::vector<double> got;
    for (const Event& e : query(from, to)) got.push_back(*e.startDate);
    EXPECT_EQ(got, expected) << rule;
    EXPECT_FALSE(got.empty() && std::string(rule).find("UNTIL") == std::string::npos) << rule;
  }
}

TEST_F(IcsStore, OverlapRuleAtBothEnds) {
  write("calendars/a/e.ics",
        ics(vevent("UID:e\nDTSTART:20250601T100000Z\nDTEND:20250601T110000Z\n") +
            vevent("UID:z\nDTSTART:20250601T120000Z\n")));
  struct Case {
    const char* from;
    const char* to;
    std::vector<std::string> ids;
  } cases[] = {
      {"20250601T110000", "20250601T113000", {}},  // ends where the window starts
      {"20250601T090000", "20250601T100000", {}},  // starts where the window ends
      {"20250601T105959", "20250601T113000", {"e"}},
      {"20250601T090000", "20250601T100001", {"e"}},
      {"20250601T120000", "20250601T120001", {"z"}},  // zero length: start included
      {"20250601T110000", "20250601T120000", {}},     // ... and end excluded
      {"20250601T000000", "20250602T000000", {"e", "z"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> ids;
    for (const Event& e : query(utc(c.from), utc(c.to))) ids.push_back(*e.eventIdentifier);
    EXPECT_EQ(ids, c.ids) << c.from << " " << c.to;
  }
}

TEST_F(IcsStore, WindowSpansAtMostFourYears) {
  write("calendars/a/w.ics", ics(vevent("UID:w\nDTSTART:20250106T150000Z\nDTEND:20250106T160000Z\n"
                                        "RRULE:FREQ=WEEKLY\n")));
  const double start = utc("20250101T000000");
  const double fourYears = CalendarStore::maximumSpan;
  struct Case {
    double from, to;
    std::size_t count;  // Mondays of the weekly rule in the shortened window
  } cases[] = {
      {start, start + fourYears, 208},
      {start, start + 10 * fourYears, 208},  // shortened to its first four years
      {-HUGE_VAL, HUGE_VAL, 0},              // shortened to nothing, at once
      {-HUGE_VAL, start + fourYears, 0},
      {start, HUGE_VAL, 208},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(query(c.from, c.to).size(), c.count) << c.from << " " << c.to;
  }
}

TEST(IcsFileLook, TellsFilesThatCannotReachTheWindow) {
  struct Case {
    const char* lines;
    bool may;
  } cases[] = {
      {"DTSTART:20250601T100000Z\n", true},
      {"DTSTART:20240101T100000Z\n", false},
      {"DTSTART;TZID=Pacific/Kiritimati:20250602T120000\n", true},  // 22:00Z the day before
      {"DTSTART;TZID=Pacific/Pago_Pago:20250531T140000\n", true},   // 01:00Z on the day
      {"DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY\n", true},
      {"DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY;UNTIL=20240301T000000Z\n", false},
      {"DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY;UNTIL=20250531T000000Z\n", true},
      {"DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY;COUNT=3\n", true},
      {"DTSTART:20240101T100000Z\nRDATE:20240102T100000Z\n", true},
      {"DTSTART;VALUE=DATE:20240101\nDTEND;VALUE=DATE:20260101\n", true},
      {"DTSTART;VALUE=DATE:20240101\nDURATION:P1D\n", true},
      {"DTSTART:soon\n", true},
      {"DTSTART:20240101T100000Zjunk\n", true},
      {"DTSTART:20240101T100000Z\nDTSTART:20250601T100000Z\n", true},
      {"DTSTART:20240101T100000Z\nBEGIN:VALARM\n", true},  // left open: nesting unclear
      {"SUMMARY:no start\n", false},
  };
  for (const auto& c : cases) {
    const RawFile raw = scanIcs(ics(vevent(c.lines)), true);
    EXPECT_EQ(mayOverlap(raw, utc("20250601T000000"), utc("20250602T000000")), c.may) << c.lines;
  }
}

TEST_F(IcsStore, PassesOverWhatItCannotRead) {
  const std::string good =
      ics(vevent("UID:good\nDTSTART:20250601T100000Z\nSUMMARY:Caf\xC3\xA9 \xFF!\n"
                 "ATTENDEE;CN=Bj\xF6rn:mailto:b@example.com\n"));
  write("calendars/a/1-garbage.ics", "\x01\x02 this is not a calendar \xFE\n");
  write("calendars/a/2-end-first.ics", "END:VEVENT\r\n" + ics(vevent("UID:x\n")));
  write("calendars/a/3-good.ics", good);
  write("calendars/a/4-broken.ics",
        ics(vevent("UID:nostart\nSUMMARY:no DTSTART\n") + vevent("UID:badstart\nDTSTART:soon\n") +
            vevent("UID:second\nDTSTART:20250601T110000Z\nRRULE:FREQ=SOMETIMES\n")) +
            "BEGIN:VEVENT\nDTSTART:20250601T120000Z\n");
  write("calendars/a/5-binary.ics", std::string("BEGIN:VCALENDAR\r\n\0\0\0", 21));
  ASSERT_EQ(mkfifo((root() + "/calendars/a/6-fifo.ics").c_str(), 0644), 0);
  link("nowhere.ics", "calendars/b-broken.ics");

  // Nothing may reach the standard streams, whatever the files hold.
  std::fflush(nullptr);
  const int saved[2] = {dup(1), dup(2)};
  char path[] = "/tmp/calendar-store-output-XXXXXX";
  const int capture = mkstemp(path);
  dup2(capture, 1);
  dup2(capture, 2);
  const auto events = query(utc("20250601T000000"), utc("20250602T000000"));
  std::fflush(nullptr);
  dup2(saved[0], 1);
  dup2(saved[1], 2);
  close(saved[0]);
  close(saved[1]);
  EXPECT_EQ(lseek(capture, 0, SEEK_END), 0) << "the store printed something";
  close(capture);
  unlink(path);

  std::vector<std::string> ids;
  for (const Event& e : events) ids.push_back(e.eventIdentifier.value_or("-"));
  EXPECT_EQ(ids, (std::vector<std::string>{"good", "second"}));
  EXPECT_EQ(events[0].title, "Caf\xC3\xA9 \xEF\xBF\xBD!");
  EXPECT_EQ(events[0].attendees->at(0).name, "Bj\xEF\xBF\xBDrn");
  for (const Event& e : events)
    EXPECT_TRUE(isValidUtf8(e.title.value_or("") + e.calendarItemIdentifier));
}

// A file that does not nest as it should is read with the library's texts,
// which still come back as valid UTF-8.
TEST_F(IcsStore, OddlyNestedFileStillGivesValidText) {
  write("calendars/a/odd.ics",
        "END:VEVENT\r\nBEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:odd\r\n"
        "DTSTART:20250601T100000Z\r\nDESCRIPTION:caf\\\xC3\xA9 \\\xE2\x82\xAC\r\n"
        "END:VEVENT\r\nEND:VCALENDAR\r\n");
  const auto events = query(utc("20250601T000000"), utc("20250602T000000"));
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(events[0].notes);
  EXPECT_TRUE(isValidUtf8(*events[0].notes)) << *events[0].notes;
}

TEST_F(IcsStore, TextValuesAsWritten) {
  write(
      "calendars/a/t.ics",
      ics(vevent("UID:  spaced uid \nDTSTART:20250601T100000Z\nSUMMARY:  Weekly\\, sync\\; team \n"
                 "LOCATION:   \nDESCRIPTION:Join at https://meet.example.com/abc\\nor dial\n"
                 " in: +1 555\\\\0100\n"
                 "URL;VALUE=URI:https://example.com/a\\,b\n"
                 "BEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:Reminder\nEND:VALARM\n") +
          vevent("UID:empty\nDTSTART:20250601T110000Z\nSUMMARY:\nLOCATION:\n")));
  const auto events = query(utc("20250601T000000"), utc("20250602T000000"));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].eventIdentifier, "  spaced uid ");
  EXPECT_EQ(events[0].title, "  Weekly, sync; team ");
  EXPECT_EQ(events[0].location, "   ");
  EXPECT_EQ(events[0].notes, "Join at https://meet.example.com/abc\nor dialin: +1 555\\0100");
  EXPECT_EQ(events[0].url, "https://example.com/a\\,b");
  EXPECT_EQ(events[1].title, "");
  EXPECT_EQ(events[1].location, "");
  EXPECT_EQ(events[1].notes, std::nullopt);
  EXPECT_EQ(events[1].url, std::nullopt);
}

TEST_F(IcsStore, ParticipantsStatusAndOrganizer) {
  write("me", "# mine\nMAILTO:Me@Example.com\n");
  write("calendars/a/p.ics",
        ics(vevent("UID:p\nDTSTART:20250601T100000Z\nSTATUS:CANCELLED\n"
                   "ORGANIZER;CN=Boss:mailto:boss@example.com\n"
                   "ATTENDEE;CN=\"Doe, Jane\";PARTSTAT=ACCEPTED:mailto:jane@example.com\n"
                   "ATTENDEE;CUTYPE=INDIVIDUAL;PARTSTAT=DECLINED:mailto:ME@example.COM\n"
                   "ATTENDEE;CUTYPE=ROOM;PARTSTAT=TENTATIVE;CN=Room 1:mailto:room1@example.com\n"
                   "ATTENDEE;CUTYPE=RESOURCE;PARTSTAT=DELEGATED:urn:x:projector\n"
                   "ATTENDEE;CUTYPE=GROUP;PARTSTAT=COMPLETED:mailto:team@example.com\n"
                   "ATTENDEE;CUTYPE=UNKNOWN;PARTSTAT=IN-PROCESS:mailto:u@example.com\n"
                   "ATTENDEE;CUTYPE=X-ROBOT;PARTSTAT=X-MAYBE:mailto:r@example.com\n"
                   "ATTENDEE;PARTSTAT=NEEDS-ACTION;CN=  Spaced  :mailto:s@example.com\n") +
            vevent("UID:q\nDTSTART:20250601T110000Z\nSTATUS:TENTATIVE\n") +
            vevent("UID:r\nDTSTART:20250601T120000Z\nSTATUS:CONFIRMED\n") +
            vevent("UID:s\nDTSTART:20250601T130000Z\nSTATUS:X-OTHER\n")));
  const auto events = query(utc("20250601T000000"), utc("20250602T000000"));
  ASSERT_EQ(events.size(), 4u);
  const Event& e = events[0];
  EXPECT_EQ(e.status, 3);
  ASSERT_TRUE(e.organizer);
  EXPECT_EQ(e.organizer->url, "mailto:boss@example.com");
  EXPECT_EQ(e.organizer->name, "Boss");
  EXPECT_EQ(e.organizer->participantType, 1);
  EXPECT_EQ(e.organizer->participantStatus, 1);
  struct Expected {
    std::int64_t type, status;
    bool me;
    std::optional<std::string> name;
    std::string url;
  } expected[] = {
      {1, 2, false, "Doe, Jane", "mailto:jane@example.com"},
      {1, 3, true, std::nullopt, "mailto:ME@example.COM"},
      {2, 4, false, "Room 1", "mailto:room1@example.com"},
      {3, 5, false, std::nullopt, "urn:x:projector"},
      {4, 6, false, std::nullopt, "mailto:team@example.com"},
      {0, 7, false, std::nullopt, "mailto:u@example.com"},
      {0, 0, false, std::nullopt, "mailto:r@example.com"},
      {1, 1, false, "  Spaced  ", "mailto:s@example.com"},
  };
  ASSERT_TRUE(e.attendees);
  ASSERT_EQ(e.attendees->size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Participant& p = (*e.attendees)[i];
    EXPECT_EQ(p.participantType, expected[i].type) << expected[i].url;
    EXPECT_EQ(p.participantStatus, expected[i].status) << expected[i].url;
    EXPECT_EQ(p.isCurrentUser, expected[i].me) << expected[i].url;
    EXPECT_EQ(p.name, expected[i].name) << expected[i].url;
    EXPECT_EQ(p.url, expected[i].url);
  }
  EXPECT_EQ(events[1].status, 2);
  EXPECT_EQ(events[2].status, 1);
  EXPECT_EQ(events[3].status, 0);
  EXPECT_FALSE(events[1].attendees);
  EXPECT_FALSE(events[1].organizer);
}

TEST_F(IcsStore, CalendarsTheirPropertiesAndOrder) {
  const auto one = [](const char* uid) {
    return ics(vevent(std::string("UID:") + uid + "\nDTSTART:20250601T100000Z\n"));
  };
  // Collections, each usually reached through a symbolic link.
  write("real/work/b.ics", one("work-b"));
  write("real/work/a.ics", one("work-a"));
  write("real/work/displayname", "Work\nignored second line\n");
  write("real/work/kind", " caldav \n");
  write("real/work/notes.txt", "not a calendar");
  link("../real/work", "calendars/m-work");
  write("calendars/c-shared/x.ics", one("shared"));
  write("calendars/c-shared/kind", "exchange");
  write("calendars/c-shared/read-only", "");
  write("calendars/caf\xE9/x\xFF.ics", one("latin1"));  // names need not be UTF-8
  write("calendars/d-subs/x.ics", one("subs"));
  write("calendars/d-subs/kind", "subscription");
  write("calendars/d-subs/displayname", "\n");
  write("calendars/e-birthdays/x.ics", one("birthdays"));
  write("calendars/e-birthdays/kind", "birthday");
  write("calendars/f-odd/x.ics", one("odd"));
  write("calendars/f-odd/kind", "google");
  write("calendars/g-numbered/x.ics", one("numbered"));
  write("calendars/g-numbered/kind", "9");
  // An account of collections, one level deep.
  write("calendars/a-account/home/x.ics", one("home"));
  write("calendars/a-account/family/displayname", "Family");
  write("calendars/a-account/family/x.ics", one("family"));
  // A single calendar file, with and without its own name.
  write("exports/holidays.ics", "BEGIN:VCALENDAR\r\nX-WR-CALNAME:  Holidays \r\n" +
                                    vevent("UID:holiday\r\nDTSTART;VALUE=DATE:20250601\r\n") +
                                    "END:VCALENDAR\r\n");
  link("../exports/holidays.ics", "calendars/h-holidays.ics");
  write("calendars/i-plain.ics", one("plain"));
  write("calendars/z-readme.txt", "passed over");
  link("missing", "calendars/y-broken");

  struct Expected {
    const char* uid;
    const char* item;
    const char* title;
    std::int64_t type;
    bool writable;
  } expected[] = {
      {"family", "a-account/family/x.ics#1", "Family", 0, true},
      {"home", "a-account/home/x.ics#1", "home", 0, true},
      {"shared", "c-shared/x.ics#1", "c-shared", 2, false},
      {"latin1", "caf\uFFFD/x\uFFFD.ics#1", "caf\uFFFD", 0, true},
      {"subs", "d-subs/x.ics#1", "d-subs", 3, true},
      {"birthdays", "e-birthdays/x.ics#1", "e-birthdays", 4, true},
      {"odd", "f-odd/x.ics#1", "f-odd", -1, true},
      {"numbered", "g-numbered/x.ics#1", "g-numbered", 9, true},
      {"holiday", "h-holidays.ics#1", "  Holidays ", 0, true},
      {"plain", "i-plain.ics#1", "i-plain", 0, true},
      {"work-a", "m-work/a.ics#1", "Work", 1, true},
      {"work-b", "m-work/b.ics#1", "Work", 1, true},
  };
  const auto events = query(utc("20250601T000000"), utc("20250602T000000"));
  ASSERT_EQ(events.size(), std::size(expected));
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    EXPECT_EQ(e.eventIdentifier, expected[i].uid) << i;
    EXPECT_EQ(e.calendarItemIdentifier, expected[i].item) << expected[i].uid;
    ASSERT_TRUE(e.calendar) << expected[i].uid;
    EXPECT_EQ(e.calendar->title, expected[i].title) << expected[i].uid;
    EXPECT_EQ(e.calendar->type, expected[i].type) << expected[i].uid;
    EXPECT_EQ(e.calendar->allowsContentModifications, expected[i].writable) << expected[i].uid;
  }
}

TEST_F(IcsStore, AccessStatus) {
  auto store = openIcsCalendarStore(root());
  EXPECT_EQ(store->authorizationStatus(), 0);  // no file
  write("access", "granted\n");
  EXPECT_EQ(store->authorizationStatus(), 3);  // read afresh
  write("access", "maybe");
  EXPECT_EQ(store->authorizationStatus(), -1);
  mkdir((root() + "/missing-store").c_str(), 0755);
  EXPECT_EQ(openIcsCalendarStore(root() + "/nowhere")->authorizationStatus(), 0);
  EXPECT_TRUE(openIcsCalendarStore(root() + "/nowhere")->eventsMatching({0, 1e10}).empty());
}

TEST(IcsStoreDirectory, DefaultDirectory) {
  struct Case {
    const char* store;
    const char* data;
    const char* expected;
  } cases[] = {
      {"/s", "/d", "/s"},
      {"", "/d", "/d/datewise"},
      {nullptr, "", "/h/.local/share/datewise"},
      {nullptr, nullptr, "/h/.local/share/datewise"},
  };
  setenv("HOME", "/h", 1);
  for (const auto& c : cases) {
    c.store ? setenv("DATEWISE_STORE", c.store, 1) : unsetenv("DATEWISE_STORE");
    c.data ? setenv("XDG_DATA_HOME", c.data, 1) : unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(defaultStoreDirectory(), c.expected) << c.expected;
  }
}

}  // namespace
}  // namespace calendar
