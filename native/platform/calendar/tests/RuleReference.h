// The library's own stepping of a rule from its first occurrence, with the
// bounds the store applies: what the rule stepper must give.
#pragma once

#include <libical/ical.h>

#include <algorithm>
#include <string>
#include <vector>

#include "calendar/IcsFile.h"
#include "calendar/ZoneCache.h"

namespace calendar {

inline std::vector<WallInstant> libraryOccurrences(const icalrecurrencetype& rule,
                                                   const icaltimetype& start, Zone zone,
                                                   double lower, double upper, int maxSteps) {
  std::vector<WallInstant> out;
  icalrecur_iterator* it = icalrecur_iterator_new(rule, start);
  if (it == nullptr) return out;
  for (int step = 0; step < maxSteps; ++step) {
    icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) break;
    t.zone = nullptr;
    if (instantOf(t, Zone{nullptr, true}) > upper) break;
    const double instant = instantOf(t, zone);
    if (instant >= lower) out.push_back({instant, t});
  }
  icalrecur_iterator_free(it);
  return out;
}

// The occurrences as the store merges them: in time order, each instant once.
inline std::string describeOccurrences(std::vector<WallInstant> occurrences) {
  std::stable_sort(
      occurrences.begin(), occurrences.end(),
      [](const WallInstant& a, const WallInstant& b) { return a.instant < b.instant; });
  std::string out;
  for (std::size_t i = 0; i < occurrences.size(); ++i) {
    const WallInstant& o = occurrences[i];
    if (i > 0 && occurrences[i - 1].instant == o.instant) continue;
    out += std::to_string(static_cast<long long>(o.instant)) + "=" +
           icaltime_as_ical_string(o.wall) + " ";
  }
  return out;
}

}  // namespace calendar
