// Stepping the recurrence rules that everyday calendars use, without the
// iCalendar library. The library steps every rule through a general calendar
// engine (ICU), which costs tens of microseconds a series even for a weekly
// meeting; the rules below are plain day arithmetic.
//
// Handled like the library: DAILY; WEEKLY with BYDAY weekdays and WKST;
// MONTHLY with BYMONTHDAY or BYDAY (with or without a position); YEARLY with
// BYMONTH, alone or with BYMONTHDAY or BYDAY; each with INTERVAL and COUNT or
// UNTIL, and only where DTSTART is itself one of the rule's occurrences.
// Other rules of those frequencies are left to the library.
//
// HOURLY, MINUTELY and SECONDLY rules are never left to the library: it
// steps them through every interval since the series began and through every
// interval a limit rules out, which for a rule such as
// FREQ=HOURLY;BYMONTH=2;BYMONTHDAY=30 takes seconds to minutes. They are
// stepped here with BYMONTH, BYMONTHDAY, BYDAY (weekdays), BYHOUR, BYMINUTE
// and BYSECOND as RFC 5545 defines them; one with other parts (BYSETPOS,
// BYYEARDAY, BYWEEKNO, positioned weekdays, RSCALE) or on an all-day series
// has no occurrences besides DTSTART.
#pragma once

#include <libical/ical.h>

#include <vector>

#include "calendar/IcsFile.h"
#include "calendar/ZoneCache.h"

namespace calendar {

// Appends, in order, the occurrences of `rule` for a series that starts at
// the wall-clock time `start` (no zone attached) and is read in `zone`: those
// whose wall-clock time read as UTC is at most `upper` and whose instant is
// at least `lower`, up to `maxSteps` occurrences stepped. `rule.until`, when
// set, is a wall-clock time in the series' zone. When `lower` is finite and
// after the start and the rule has no COUNT, stepping may begin near `lower`.
// False, with nothing appended, for a rule left to the library.
bool stepRule(const icalrecurrencetype& rule, const icaltimetype& start, Zone zone, double lower,
              double upper, int maxSteps, std::vector<WallInstant>& out);

}  // namespace calendar
