// Reading the events of one iCalendar file for a window of time. Pure apart
// from the shared zone cache: the caller reads the file and passes its bytes.
#pragma once

#include <libical/ical.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "calendar/CalendarStore.h"
#include "calendar/StoreText.h"
#include "calendar/ZoneCache.h"

namespace calendar {

// What the file's own text says, read without the iCalendar library: the text
// values exactly as written (the library trims white space around values and
// drops empty ones), and the raw definition of each VTIMEZONE.
struct RawParticipant {
  std::string address;                              // the value as written
  std::optional<std::string> cn, cutype, partstat;  // parameters, unquoted
};
struct RawEvent {
  // The values of the time properties as written, for a cheap first look.
  std::optional<std::string> dtstart, dtend, duration;
  std::vector<std::string> rrules;
  bool hasRdate = false;
  int starts = 0, ends = 0;  // DTSTART and DTEND properties seen
  // The rest only when scanned in full.
  std::optional<std::string> uid, summary, location, description, url;
  std::vector<RawParticipant> attendees;
  std::optional<RawParticipant> organizer;
};
struct RawZone {
  std::string tzid;
  std::string_view definition;  // the BEGIN:VTIMEZONE ... END:VTIMEZONE lines
};
struct RawFile {
  // The components do not nest as they should (an END that closes another
  // component, a VEVENT below another one, components left open): the
  // library may then see other events than this scan does.
  bool irregular = false;
  std::optional<std::string> calendarName;  // X-WR-CALNAME, unescaped
  std::vector<RawEvent> events;             // in file order
  std::vector<RawZone> zones;               // in file order
};

// Scans unfolded content lines; never fails (what it cannot read it skips).
// With `timesOnly`, only the time properties of the events are kept.
RawFile scanIcs(std::string_view text, bool timesOnly = false);

// False only when no event of a file scanned by scanIcs can overlap
// [windowStart, windowEnd), whatever the zones: such a file need not be
// parsed. Anything it cannot judge (a rule with COUNT or without end, RDATE,
// DURATION, an unreadable time) counts as possibly overlapping.
bool mayOverlap(const RawFile& raw, double windowStart, double windowEnd);

struct FileContext {
  // The file's path below calendars/, the base of calendarItemIdentifier.
  std::string itemPath;
  Calendar calendar;
  const AddressSet* me = nullptr;
};

// How the times of a digest are read: floating (the process's local time),
// UTC, a zone of the system's database by its TZID, or a zone the file
// defines, by its definition's key in the zone cache (TZID, newline, text).
struct ZoneRef {
  enum Kind : std::uint8_t { floating, utc, system, defined };
  Kind kind = floating;
  std::string name;
  bool operator==(const ZoneRef&) const = default;
};

// A point of a series: its instant and its wall-clock time in the series'
// zone, with no zone attached.
struct WallInstant {
  double instant = 0;
  icaltimetype wall = icaltime_null_time();
};

// One event of a file that has a start, with what any window needs of it.
struct DigestEvent {
  std::uint32_t number = 0;  // its place among the file's events, from 1
  WallInstant start;
  std::uint32_t zone = 0;  // in FileDigest::zones
  bool isDate = false;
  // How long each occurrence lasts: whole days in wall-clock time (for
  // dates) plus exact seconds.
  int days = 0;
  double seconds = 0;
  bool isOverride = false;  // it has a RECURRENCE-ID
  std::optional<double> recurrenceId;
  std::vector<std::string> rules;   // RRULE values as the library writes them
  std::vector<WallInstant> rdates;  // in file order
  std::vector<double> exInstants;   // sorted, unique
  std::vector<long long> exDays;    // dates excluding a day, as yyyymmdd; sorted, unique
  // The occurrence without its dates, calendar, item identifier and the
  // participants' isCurrentUser, which the query supplies.
  Event base;
};

// A file read once for every window: answering a window from it gives
// exactly what reading the file for that window gives. It depends on the
// file's bytes, the system's zone database and the process's local time
// zone, nothing else.
struct FileDigest {
  std::optional<std::string> calendarName;  // X-WR-CALNAME
  std::vector<ZoneRef> zones;
  std::vector<DigestEvent> events;  // in file order
};

// The digest of a file's bytes; `text` must be valid UTF-8 without NUL bytes
// (see repairUtf8) and `raw` its scan. A file that does not parse has no
// events.
FileDigest digestFile(std::string_view text, const RawFile& raw, ZoneCache& zones);

// Appends to `out` one event per occurrence of the digest's events that
// overlaps [windowStart, windowEnd), in start order (ties in file order). An
// event that cannot be placed is skipped.
void appendDigestEvents(const FileDigest& digest, const FileContext& context, double windowStart,
                        double windowEnd, ZoneCache& zones, std::vector<Event>& out);

// Both of the above: the events of a file's bytes for one window.
void appendFileEvents(std::string_view text, const RawFile& raw, const FileContext& context,
                      double windowStart, double windowEnd, ZoneCache& zones,
                      std::vector<Event>& out);

}  // namespace calendar
