// The stretch of time an iCalendar file's events can occupy, read from its
// text alone. The index keeps it per file so that a window query parses only
// the files whose span meets the window.
#pragma once

#include <limits>
#include <string_view>

namespace calendar {

// Seconds since 1970. Every occurrence the file can yield, in any time zone
// of the process, starts at or after `lo` and ends at or before `hi`. A file
// with nothing that can be placed has lo > hi; a series without an end has
// hi = +infinity.
struct FileSpan {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();

  // Whether an occurrence inside the span could overlap [start, end).
  bool meets(double start, double end) const { return lo < end && hi >= start; }
};

// Conservative by design: whatever the reader cannot be sure of (a value it
// cannot parse, a rule it cannot bound) widens the span, up to the whole
// time line. `text` is the repaired text the reader of the file is given.
FileSpan fileSpan(std::string_view text);

}  // namespace calendar
