#include "calendar/RuleStepper.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <tuple>

namespace calendar {

namespace {

// ---- civil dates as day numbers (days since 1970-01-01) -----------------

long long floorDiv(long long a, long long b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
int floorMod(long long a, int b) { return static_cast<int>(a - floorDiv(a, b) * b); }

long long dayNumber(long long y, int m, int d) {
  y -= m <= 2;
  const long long era = floorDiv(y, 400);
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  long long year;
  int month;
  int day;
};

Civil civilOf(long long n) {
  n += 719468;
  const long long era = floorDiv(n, 146097);
  const long long doe = n - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

// 0 for Sunday .. 6 for Saturday; 1970-01-01 was a Thursday.
int weekdayOf(long long n) { return floorMod(n + 4, 7); }

int daysInMonth(long long y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

// ---- the rule -------------------------------------------------------------

template <std::size_t N>
std::vector<short> listOf(const short (&values)[N]) {
  std::vector<short> out;
  for (std::size_t i = 0; i < N && values[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
    out.push_back(values[i]);
  }
  return out;
}

struct Plan {
  icalrecurrencetype_frequency freq;
  long long interval;
  int count;  // 0: none
  std::optional<icaltimetype> until;
  int weekStart;                                // 0 Sunday .. 6 Saturday
  std::vector<int> weekdays;                    // WEEKLY
  std::vector<std::pair<int, int>> positioned;  // MONTHLY, YEARLY: position (0 all), weekday
  std::vector<int> monthDays;                   // -31..-1, 1..31
  std::vector<int> months;                      // YEARLY: 1..12, sorted
  // Sub-daily rules: the length of a step in seconds, what limits them, and
  // the minutes and seconds each step adds (an empty list: DTSTART's).
  long long unit = 0;
  std::vector<int> hours, minutes, seconds;
  std::vector<int> addedMinutes, addedSeconds;
  Civil first;  // DTSTART's date
};

template <typename T>
bool contains(const std::vector<T>& v, T x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

std::optional<Plan> planOf(const icalrecurrencetype& rule, const icaltimetype& start) {
  if (rule.rscale != nullptr || rule.interval < 1 || rule.count < 0) return std::nullopt;
  if (!listOf(rule.by_year_day).empty() || !listOf(rule.by_week_no).empty() ||
      !listOf(rule.by_set_pos).empty()) {
    return std::nullopt;
  }
  Plan plan{};
  plan.freq = rule.freq;
  plan.interval = rule.interval;
  plan.count = rule.count;
  const bool subDaily = rule.freq == ICAL_HOURLY_RECURRENCE ||
                        rule.freq == ICAL_MINUTELY_RECURRENCE ||
                        rule.freq == ICAL_SECONDLY_RECURRENCE;
  if (!icaltime_is_null_time(rule.until)) {
    plan.until = rule.until;
    if (subDaily && rule.until.is_date && !start.is_date) {
      // A date for a timed series: through the end of that day.
      plan.until->is_date = 0;
      plan.until->hour = 23;
      plan.until->minute = 59;
      plan.until->second = 59;
    } else if ((rule.until.is_date != 0) != (start.is_date != 0)) {
      return std::nullopt;
    }
  }
  plan.weekStart = rule.week_start == ICAL_NO_WEEKDAY ? 1 : static_cast<int>(rule.week_start) - 1;
  if (plan.weekStart < 0 || plan.weekStart > 6) return std::nullopt;
  plan.first = {start.year, start.month, start.day};

  const std::vector<short> hours = listOf(rule.by_hour);
  const std::vector<short> minutes = listOf(rule.by_minute);
  const std::vector<short> seconds = listOf(rule.by_second);
  if (!subDaily && (!hours.empty() || !minutes.empty() || !seconds.empty())) return std::nullopt;
  // A sub-daily rule is limited by the hours, minutes and seconds no finer
  // than its step, and the finer ones add occurrences within each step.
  const bool hourly = rule.freq == ICAL_HOURLY_RECURRENCE;
  const bool secondly = rule.freq == ICAL_SECONDLY_RECURRENCE;
  for (const auto& [values, limit, list] :
       {std::tuple{&hours, 23, &plan.hours},
        std::tuple{&minutes, 59, hourly ? &plan.addedMinutes : &plan.minutes},
        std::tuple{&seconds, 59, secondly ? &plan.seconds : &plan.addedSeconds}}) {
    for (const short v : *values) {
      if (v < 0 || v > limit) return std::nullopt;
      list->push_back(v);
    }
    std::sort(list->begin(), list->end());
  }
  const std::vector<short> days = listOf(rule.by_day);
  const std::vector<short> monthDays = listOf(rule.by_month_day);
  const std::vector<short> months = listOf(rule.by_month);
  for (const short d : days) {
    const int weekday = static_cast<int>(icalrecurrencetype_day_day_of_week(d)) - 1;
    const int position = icalrecurrencetype_day_position(d);
    if (weekday < 0 || weekday > 6 || position < -5 || position > 5) return std::nullopt;
    plan.positioned.emplace_back(position, weekday);
  }
  for (const short d : monthDays) {
    if (d == 0 || d < -31 || d > 31) return std::nullopt;
    plan.monthDays.push_back(d);
  }
  for (const short m : months) {
    if (icalrecurrencetype_month_is_leap(m) != 0) return std::nullopt;
    const int month = icalrecurrencetype_month_month(m);
    if (month < 1 || month > 12) return std::nullopt;
    plan.months.push_back(month);
  }
  std::sort(plan.months.begin(), plan.months.end());
  plan.months.erase(std::unique(plan.months.begin(), plan.months.end()), plan.months.end());
  // The library counts a day named twice (MO and 1MO, 1 and -31, a month
  // repeated) twice towards COUNT; a series without COUNT loses the repeat
  // when its occurrences are merged.
  if (plan.count != 0 && !subDaily) {
    std::vector<int> weekdays, dayNumbers;
    for (const auto& [position, weekday] : plan.positioned) weekdays.push_back(weekday);
    for (const int d : plan.monthDays) dayNumbers.push_back(d < 0 ? -d : d);
    for (std::vector<int>* list : {&weekdays, &dayNumbers}) {
      std::sort(list->begin(), list->end());
      if (std::adjacent_find(list->begin(), list->end()) != list->end()) return std::nullopt;
    }
    const bool bothSigns =
        std::any_of(plan.monthDays.begin(), plan.monthDays.end(), [](int d) { return d < 0; }) &&
        std::any_of(plan.monthDays.begin(), plan.monthDays.end(), [](int d) { return d > 0; });
    if (bothSigns || plan.months.size() != months.size()) return std::nullopt;
  }

  switch (rule.freq) {
    case ICAL_DAILY_RECURRENCE:
      if (!days.empty() || !monthDays.empty() || !months.empty()) return std::nullopt;
      break;
    case ICAL_WEEKLY_RECURRENCE:
      if (!monthDays.empty() || !months.empty()) return std::nullopt;
      for (const auto& [position, weekday] : plan.positioned) {
        if (position != 0) return std::nullopt;
        plan.weekdays.push_back(weekday);
      }
      plan.positioned.clear();
      if (plan.weekdays.empty()) {
        plan.weekdays.push_back(weekdayOf(dayNumber(start.year, start.month, start.day)));
      }
      // In the order they fall in a week that begins on the week start.
      std::sort(plan.weekdays.begin(), plan.weekdays.end(), [&plan](int a, int b) {
        return floorMod(a - plan.weekStart, 7) < floorMod(b - plan.weekStart, 7);
      });
      plan.weekdays.erase(std::unique(plan.weekdays.begin(), plan.weekdays.end()),
                          plan.weekdays.end());
      break;
    case ICAL_MONTHLY_RECURRENCE:
      if (!months.empty() || (!days.empty() && !monthDays.empty())) return std::nullopt;
      break;
    case ICAL_YEARLY_RECURRENCE:
      if (months.empty() && (!days.empty() || !monthDays.empty())) return std::nullopt;
      if (!days.empty() && !monthDays.empty()) return std::nullopt;
      if (plan.months.empty()) plan.months.push_back(start.month);
      break;
    case ICAL_HOURLY_RECURRENCE:
    case ICAL_MINUTELY_RECURRENCE:
    case ICAL_SECONDLY_RECURRENCE:
      if (start.is_date) return std::nullopt;
      for (const auto& [position, weekday] : plan.positioned) {
        if (position != 0) return std::nullopt;
        plan.weekdays.push_back(weekday);
      }
      plan.positioned.clear();
      plan.unit = rule.freq == ICAL_HOURLY_RECURRENCE     ? 3600
                  : rule.freq == ICAL_MINUTELY_RECURRENCE ? 60
                                                          : 1;
      break;
    default:
      return std::nullopt;
  }
  return plan;
}

// The days of one month the rule falls on, in order.
void monthDays(const Plan& plan, long long year, int month, std::vector<long long>& out) {
  const int length = daysInMonth(year, month);
  const long long firstDay = dayNumber(year, month, 1);
  const std::size_t from = out.size();
  if (!plan.positioned.empty()) {
    const int firstWeekday = weekdayOf(firstDay);
    for (const auto& [position, weekday] : plan.positioned) {
      const int firstMatch = 1 + floorMod(weekday - firstWeekday, 7);
      const int matches = (length - firstMatch) / 7 + 1;
      if (position == 0) {
        for (int i = 0; i < matches; ++i) out.push_back(firstDay + firstMatch - 1 + 7 * i);
      } else {
        const int i = position > 0 ? position - 1 : matches + position;
        if (i >= 0 && i < matches) out.push_back(firstDay + firstMatch - 1 + 7 * i);
      }
    }
  } else if (!plan.monthDays.empty()) {
    for (const int d : plan.monthDays) {
      const int day = d > 0 ? d : length + 1 + d;
      if (day >= 1 && day <= length) out.push_back(firstDay + day - 1);
    }
  } else if (plan.first.day <= length) {
    out.push_back(firstDay + plan.first.day - 1);
  }
  std::sort(out.begin() + static_cast<long>(from), out.end());
  out.erase(std::unique(out.begin() + static_cast<long>(from), out.end()), out.end());
}

// The days of period `k` of the rule (counted from the period of DTSTART),
// in order, and the first day of that period.
long long periodDays(const Plan& plan, long long firstDay, long long k,
                     std::vector<long long>& out) {
  out.clear();
  switch (plan.freq) {
    case ICAL_DAILY_RECURRENCE: {
      const long long day = firstDay + k * plan.interval;
      out.push_back(day);
      return day;
    }
    case ICAL_WEEKLY_RECURRENCE: {
      const long long weekBegins =
          firstDay - floorMod(weekdayOf(firstDay) - plan.weekStart, 7) + 7 * plan.interval * k;
      for (const int weekday : plan.weekdays) {
        out.push_back(weekBegins + floorMod(weekday - plan.weekStart, 7));
      }
      return weekBegins;
    }
    case ICAL_MONTHLY_RECURRENCE: {
      const long long index = plan.first.year * 12 + (plan.first.month - 1) + k * plan.interval;
      const long long year = floorDiv(index, 12);
      const int month = floorMod(index, 12) + 1;
      monthDays(plan, year, month, out);
      return dayNumber(year, month, 1);
    }
    default: {
      const long long year = plan.first.year + k * plan.interval;
      for (const int month : plan.months) monthDays(plan, year, month, out);
      return dayNumber(year, 1, 1);
    }
  }
}

// The period that holds `day`, or the one before.
long long periodBefore(const Plan& plan, long long firstDay, long long day) {
  const Civil c = civilOf(day);
  switch (plan.freq) {
    case ICAL_DAILY_RECURRENCE:
      return floorDiv(day - firstDay, plan.interval);
    case ICAL_WEEKLY_RECURRENCE: {
      const long long weekBegins = firstDay - floorMod(weekdayOf(firstDay) - plan.weekStart, 7);
      return floorDiv(day - weekBegins, 7 * plan.interval);
    }
    case ICAL_MONTHLY_RECURRENCE:
      return floorDiv(c.year * 12 + (c.month - 1) - (plan.first.year * 12 + plan.first.month - 1),
                      plan.interval);
    default:
      return floorDiv(c.year - plan.first.year, plan.interval);
  }
}

double utcSecondsOf(long long day, const icaltimetype& time) {
  const double seconds = time.is_date ? 0 : time.hour * 3600.0 + time.minute * 60.0 + time.second;
  return static_cast<double>(day) * 86400.0 + seconds;
}

icaltimetype withDay(icaltimetype wall, long long day) {
  const Civil c = civilOf(day);
  wall.year = static_cast<int>(c.year);
  wall.month = c.month;
  wall.day = c.day;
  wall.zone = nullptr;
  wall.is_daylight = 0;
  return wall;
}

// `start` moved to the wall-clock time `t` (seconds since 1970, read as UTC).
icaltimetype wallAt(const icaltimetype& start, long long t) {
  icaltimetype wall = withDay(start, floorDiv(t, 86400));
  const int seconds = floorMod(t, 86400);
  wall.hour = seconds / 3600;
  wall.minute = seconds / 60 % 60;
  wall.second = seconds % 60;
  return wall;
}

// Whether the wall-clock time `t` (seconds since 1970, read as UTC) passes
// the limits of a sub-daily rule.
bool passes(const Plan& plan, long long t) {
  const long long day = floorDiv(t, 86400);
  const int second = floorMod(t, 86400);
  if (!plan.hours.empty() && !contains(plan.hours, second / 3600)) return false;
  if (!plan.minutes.empty() && !contains(plan.minutes, second / 60 % 60)) return false;
  if (!plan.seconds.empty() && !contains(plan.seconds, second % 60)) return false;
  if (!plan.weekdays.empty() && !contains(plan.weekdays, weekdayOf(day))) return false;
  if (plan.months.empty() && plan.monthDays.empty()) return true;
  const Civil c = civilOf(day);
  if (!plan.months.empty() && !contains(plan.months, c.month)) return false;
  if (plan.monthDays.empty()) return true;
  const int length = daysInMonth(c.year, c.month);
  return contains(plan.monthDays, c.day) || contains(plan.monthDays, c.day - length - 1);
}

// A sub-daily rule: every time of the grid from DTSTART that passes the
// limits. Each time looked at counts towards `maxSteps`, so that limits that
// are rarely met cannot make the stepping endless.
void stepGrid(const Plan& plan, const icaltimetype& start, Zone zone, double lower, double upper,
              int maxSteps, std::vector<WallInstant>& out) {
  const long long first = dayNumber(start.year, start.month, start.day) * 86400 +
                          start.hour * 3600LL + start.minute * 60LL + start.second;
  // The times a step adds, from the beginning of its hour or minute.
  std::vector<long long> offsets;
  const int minuteOfStart = plan.unit == 3600 ? start.minute : 0;
  const int secondOfStart = plan.unit >= 60 ? start.second : 0;
  for (const int m : plan.unit == 3600 && !plan.addedMinutes.empty() ? plan.addedMinutes
                                                                     : std::vector{minuteOfStart}) {
    for (const int sec : plan.unit >= 60 && !plan.addedSeconds.empty()
                             ? plan.addedSeconds
                             : std::vector{secondOfStart}) {
      offsets.push_back(m * 60LL + sec);
    }
  }
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  const long long startOffset = minuteOfStart * 60LL + secondOfStart;
  const long long step = plan.unit * plan.interval;
  // Zone offsets can reach a few days: nothing earlier than this can reach
  // `lower`.
  const double early = lower - 5 * 86400.0;
  // Far beyond any calendar (and beyond what the arithmetic below holds).
  if (!(lower < 1e13)) return;
  long long t = first;
  if (plan.count == 0 && std::isfinite(lower) && early > static_cast<double>(first)) {
    t += static_cast<long long>((early - static_cast<double>(first)) / static_cast<double>(step)) *
         step;
  }
  long long until = LLONG_MAX;
  if (plan.until) {
    until = dayNumber(plan.until->year, plan.until->month, plan.until->day) * 86400 +
            plan.until->hour * 3600LL + plan.until->minute * 60LL + plan.until->second;
  }
  // DTSTART is always the first occurrence, whether or not the rule has it.
  long long counted = passes(plan, first) && contains(offsets, startOffset) ? 0 : 1;
  int stepped = 0;
  for (long long period = t - startOffset;; period += step) {
    for (const long long offset : offsets) {
      const long long at = period + offset;
      if (at < first) continue;
      if (static_cast<double>(at) > upper || at > until || stepped++ >= maxSteps) return;
      if (!passes(plan, at)) continue;
      if (plan.count != 0 && ++counted > plan.count) return;
      if (static_cast<double>(at) < early) continue;
      const icaltimetype wall = wallAt(start, at);
      const double instant = instantOf(wall, zone);
      if (instant >= lower) out.push_back({instant, wall});
    }
  }
}

}  // namespace

bool stepRule(const icalrecurrencetype& rule, const icaltimetype& start, Zone zone, double lower,
              double upper, int maxSteps, std::vector<WallInstant>& out) {
  if (rule.freq == ICAL_HOURLY_RECURRENCE || rule.freq == ICAL_MINUTELY_RECURRENCE ||
      rule.freq == ICAL_SECONDLY_RECURRENCE) {
    if (start.year < 1 || start.year > 9999 || start.month < 1 || start.month > 12 ||
        start.day < 1 || start.day > daysInMonth(start.year, start.month)) {
      return true;
    }
    const std::optional<Plan> plan = planOf(rule, start);
    if (plan) stepGrid(*plan, start, zone, lower, upper, maxSteps, out);
    return true;
  }
  // Far years are left to the library, whatever it makes of them.
  constexpr double kLastInstant = 13569465600.0;  // 2400-01-01T00:00:00Z
  if (start.year < 1800 || start.year > 2399 || !(upper < kLastInstant)) return false;
  // The library reads some dates that do not exist, such as a 14th month.
  if (start.month < 1 || start.month > 12 || start.day < 1 ||
      start.day > daysInMonth(start.year, start.month)) {
    return false;
  }
  const std::optional<Plan> plan = planOf(rule, start);
  if (!plan) return false;
  const long long firstDay = dayNumber(start.year, start.month, start.day);
  std::vector<long long> days;
  periodDays(*plan, firstDay, 0, days);
  // A DTSTART off the rule's pattern is an occurrence of its own; how it then
  // counts is left to the library.
  if (std::find(days.begin(), days.end(), firstDay) == days.end()) return false;

  long long k = 0;
  if (plan->count == 0 && std::isfinite(lower) && lower > utcSecondsOf(firstDay, start)) {
    // Zone offsets can reach a few days: begin well before `lower`.
    const long long lowerDay = static_cast<long long>(std::floor(lower / 86400.0)) - 5;
    k = std::max(0LL, periodBefore(*plan, firstDay, lowerDay) - 1);
  }
  const long long untilDay =
      plan->until ? dayNumber(plan->until->year, plan->until->month, plan->until->day) : 0;
  const int startSeconds = start.is_date ? 0 : start.hour * 3600 + start.minute * 60 + start.second;
  const int untilSeconds =
      plan->until && !plan->until->is_date
          ? plan->until->hour * 3600 + plan->until->minute * 60 + plan->until->second
          : 0;
  long long counted = 0;
  int stepped = 0;
  for (;; ++k) {
    const long long periodBegins = periodDays(*plan, firstDay, k, days);
    if (utcSecondsOf(periodBegins, start) - 86400.0 > upper) return true;
    for (const long long day : days) {
      if (day < firstDay) continue;
      if (plan->until && (day > untilDay || (day == untilDay && startSeconds > untilSeconds))) {
        return true;
      }
      if (utcSecondsOf(day, start) > upper) return true;
      if (plan->count != 0 && ++counted > plan->count) return true;
      if (stepped++ >= maxSteps) return true;
      const icaltimetype wall = withDay(start, day);
      const double instant = instantOf(wall, zone);
      if (instant >= lower) out.push_back({instant, wall});
    }
  }
}

}  // namespace calendar
