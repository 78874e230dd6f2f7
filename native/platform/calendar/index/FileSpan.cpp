#include "calendar/index/FileSpan.h"

#include <libical/ical.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "calendar/StoreText.h"
#include "calendar/ZoneCache.h"

namespace calendar {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kHour = 3600;
constexpr double kDay = 86400;
// The farthest a wall-clock time is read from the same digits taken as UTC
// when the zone is the process's (a POSIX TZ reaches 24:59:59 plus its
// daylight saving) or the system's; a file's own VTIMEZONE may go further.
constexpr double kLocalOffset = 26 * kHour;
// What an offset written as +HHMMSS can reach at most.
constexpr double kLargestOffset = 100 * kHour;
// Occurrences of a counted rule stepped to find its last one; beyond this
// the series is taken as endless.
constexpr int kMaxCountSteps = 20000;

double secondsOf(const icaltimetype& wall) {
  icaltimetype t = wall;
  return instantOf(t, Zone{nullptr, true});
}

bool inRange(const icaltimetype& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 &&
         t.day <= icaltime_days_in_month(t.month, t.year) && t.hour >= 0 && t.hour <= 23 &&
         t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 60;
}

// The wall-clock time of a DATE or DATE-TIME value, its digits read as UTC;
// nothing when it cannot be read or placed on the time line.
std::optional<icaltimetype> wallOfValue(std::string_view value) {
  const std::string text(trimAscii(value));
  icaltimetype t = icaltime_from_string(text.c_str());
  if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return std::nullopt;
  t.zone = nullptr;
  t.is_daylight = 0;
  if (!std::isfinite(secondsOf(t))) return std::nullopt;
  return t;
}

// An offset such as +0130 or -053000, in seconds; nothing when unreadable.
std::optional<double> offsetOf(std::string_view value) {
  const std::string_view v = trimAscii(value);
  if (v.size() != 5 && v.size() != 7) return std::nullopt;
  if (v[0] != '+' && v[0] != '-') return std::nullopt;
  double seconds = 0;
  const double units[] = {36000, 3600, 600, 60, 10, 1};
  for (std::size_t i = 1; i < v.size(); ++i) {
    if (v[i] < '0' || v[i] > '9') return std::nullopt;
    seconds += (v[i] - '0') * units[i - 1];
  }
  return seconds;
}

// What one VEVENT says about where its occurrences lie, all in wall-clock
// seconds.
struct Block {
  std::vector<std::string> starts, ends, durations, rules, rdates;
};

class SpanReader {
 public:
  FileSpan read(std::string_view text) {
    std::size_t pos = 0;
    std::string logical;
    while (pos < text.size()) {
      logical.assign(nextLine(text, pos));
      while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
        logical.append(nextLine(text, pos).substr(1));
      }
      line(logical);
    }
    // An event left open at the end of the text still counts.
    while (!open_.empty()) close();
    if (unbounded_) return FileSpan{-kInfinity, kInfinity};
    FileSpan span;
    for (const auto& [lo, hi] : found_) {
      span.lo = std::min(span.lo, lo - offset_);
      span.hi = std::max(span.hi, hi + 3 * offset_);
    }
    return span;
  }

 private:
  // Follows the component structure as the iCalendar library builds it: a
  // BEGIN whose value starts with VEVENT opens an event (the library matches
  // component names by prefix), any END closes whatever is innermost, and
  // property names are read without the white space after them.
  void line(std::string_view logical) {
    const std::optional<ContentLine> split = splitContentLine(logical);
    if (!split) return;
    const std::string_view name = trimAscii(split->name);
    const std::string_view value = split->value;
    if (equalsIgnoreAsciiCase(name, "BEGIN")) {
      const std::string_view kind = trimAscii(value);
      const bool isEvent = kind.size() >= 6 && equalsIgnoreAsciiCase(kind.substr(0, 6), "VEVENT");
      stack_.push_back(isEvent);
      if (isEvent) open_.emplace_back();
    } else if (equalsIgnoreAsciiCase(name, "END")) {
      if (stack_.empty()) return;
      if (stack_.back()) close();
      stack_.pop_back();
    } else if (equalsIgnoreAsciiCase(name, "TZOFFSETFROM") ||
               equalsIgnoreAsciiCase(name, "TZOFFSETTO")) {
      const auto offset = offsetOf(value);
      offset_ = std::max(offset_, offset ? std::abs(*offset) + 2 * kHour : kLargestOffset);
    } else if (!stack_.empty() && stack_.back()) {
      Block& b = open_.back();
      const std::string v(value);
      if (equalsIgnoreAsciiCase(name, "DTSTART")) b.starts.push_back(v);
      if (equalsIgnoreAsciiCase(name, "DTEND")) b.ends.push_back(v);
      if (equalsIgnoreAsciiCase(name, "DURATION")) b.durations.push_back(v);
      if (equalsIgnoreAsciiCase(name, "RRULE")) b.rules.push_back(v);
      if (equalsIgnoreAsciiCase(name, "RDATE")) b.rdates.push_back(v);
    }
  }

  void close() {
    const Block b = std::move(open_.back());
    open_.pop_back();
    if (b.starts.empty()) return;  // cannot be placed in time
    if (b.starts.size() > 1) {
      unbounded_ = true;
      return;
    }
    const auto start = wallOfValue(b.starts[0]);
    if (!start) {
      unbounded_ = true;
      return;
    }
    const double s = secondsOf(*start);
    double lo = s, hi = s;
    double length = start->is_date ? kDay : 0;
    for (const std::string& end : b.ends) {
      const auto e = wallOfValue(end);
      if (!e) return widen();
      length = std::max(length, secondsOf(*e) - s);
    }
    for (const std::string& duration : b.durations) {
      const std::string text(trimAscii(duration));
      const icaldurationtype d = icaldurationtype_from_string(text.c_str());
      if (icaldurationtype_is_bad_duration(d)) return widen();
      if (!d.is_neg) {
        length = std::max(length, (d.weeks * 7.0 + d.days) * kDay + d.hours * kHour +
                                      d.minutes * 60.0 + d.seconds);
      }
    }
    for (const std::string& list : b.rdates) {
      std::string_view rest = list;
      while (true) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        item = item.substr(0, item.find('/'));  // a period's start
        const auto t = wallOfValue(item);
        if (!t) return widen();
        lo = std::min(lo, secondsOf(*t));
        hi = std::max(hi, secondsOf(*t));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    }
    for (const std::string& text : b.rules) {
      if (!rule(text, *start, lo, hi)) return widen();
    }
    found_.emplace_back(lo, hi + length + kDay);
  }

  // Bounds the starts of one RRULE; false when it cannot.
  bool rule(const std::string& text, const icaltimetype& start, double& lo, double& hi) {
    const std::string value(trimAscii(text));
    const icalrecurrencetype r = icalrecurrencetype_from_string(value.c_str());
    if (r.freq == ICAL_NO_RECURRENCE) return false;
    icalrecur_iterator* it = icalrecur_iterator_new(r, start);
    if (it == nullptr) return false;
    bool bounded = false;
    int steps = 0;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
         t = icalrecur_iterator_next(it)) {
      t.zone = nullptr;
      const double seconds = secondsOf(t);
      if (!std::isfinite(seconds)) {
        icalrecur_iterator_free(it);
        return false;
      }
      lo = std::min(lo, seconds);
      if (r.count <= 0) break;  // the first step is all that is needed
      hi = std::max(hi, seconds);
      if (++steps > kMaxCountSteps) break;
    }
    if (r.count > 0 && steps <= kMaxCountSteps) bounded = true;
    icalrecur_iterator_free(it);
    if (!icaltime_is_null_time(r.until)) {
      // The library compares UNTIL field by field: one with a field out of
      // range (a 93rd month) bounds nothing that can be computed here.
      if (!inRange(r.until)) return false;
      icaltimetype until = r.until;
      until.zone = nullptr;
      const double seconds = secondsOf(until);
      if (!std::isfinite(seconds)) return false;
      hi = std::max(hi, seconds + kDay);
      bounded = true;
    }
    if (!bounded) hi = kInfinity;
    return true;
  }

  void widen() { unbounded_ = true; }

  std::vector<bool> stack_;  // open components: whether each is an event
  std::vector<Block> open_;  // the open events, innermost last
  std::vector<std::pair<double, double>> found_;
  double offset_ = kLocalOffset + 2 * kHour;
  bool unbounded_ = false;
};

}  // namespace

FileSpan fileSpan(std::string_view text) {
  try {
    return SpanReader().read(text);
  } catch (...) {
    return FileSpan{-kInfinity, kInfinity};
  }
}

}  // namespace calendar
