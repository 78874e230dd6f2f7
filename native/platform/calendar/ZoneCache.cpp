#include "calendar/ZoneCache.h"

#include <cmath>
#include <ctime>
#include <limits>

namespace calendar {

namespace {

constexpr std::size_t kMaxDefinitions = 64;

// Seconds since 1970 of a broken-down UTC time; valid for any year.
double utcSeconds(const icaltimetype& t) {
  // Days from civil (Howard Hinnant's algorithm).
  const long long y = t.year - (t.month <= 2 ? 1 : 0);
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long mp = (t.month + 9) % 12;
  const long long doy = (153 * mp + 2) / 5 + t.day - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = era * 146097 + doe - 719468;
  const long long secs = t.is_date ? 0 : t.hour * 3600LL + t.minute * 60LL + t.second;
  return static_cast<double>(days * 86400LL + secs);
}

time_t clampToTimeT(double instant) {
  // Far enough for any calendar, small enough for every conversion below.
  constexpr double limit = 253402300799.0;  // 9999-12-31T23:59:59Z
  if (std::isnan(instant)) return 0;
  if (instant > limit) return static_cast<time_t>(limit);
  if (instant < -limit) return static_cast<time_t>(-limit);
  return static_cast<time_t>(instant);
}

// Zones change their offsets at most a few times a year, by yearly rules. A
// definition with a faster rule would make the library expand it into
// millions of transitions, so it is not used.
bool plausible(icalcomponent* vtimezone) {
  for (icalcomponent* c = icalcomponent_get_first_component(vtimezone, ICAL_ANY_COMPONENT);
       c != nullptr; c = icalcomponent_get_next_component(vtimezone, ICAL_ANY_COMPONENT)) {
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      const icalrecurrencetype rule = icalproperty_get_rrule(p);
      if (rule.freq != ICAL_YEARLY_RECURRENCE || rule.interval > 1000) return false;
    }
  }
  return true;
}

}  // namespace

double instantOf(icaltimetype wall, Zone zone) {
  wall.zone = nullptr;
  if (zone.utc) return utcSeconds(wall);
  if (zone.tz != nullptr) {
    if (wall.is_date) {
      wall.is_date = 0;
      wall.hour = wall.minute = wall.second = 0;
    }
    return static_cast<double>(icaltime_as_timet_with_zone(wall, zone.tz));
  }
  std::tm tm{};
  tm.tm_year = wall.year - 1900;
  tm.tm_mon = wall.month - 1;
  tm.tm_mday = wall.day;
  if (!wall.is_date) {
    tm.tm_hour = wall.hour;
    tm.tm_min = wall.minute;
    tm.tm_sec = wall.second;
  }
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

icaltimetype wallOf(double instant, Zone zone, bool isDate) {
  const time_t t = clampToTimeT(instant);
  icaltimetype wall;
  if (zone.tz != nullptr || zone.utc) {
    // Converts from UTC into the zone.
    wall =
        icaltime_from_timet_with_zone(t, 0, zone.utc ? icaltimezone_get_utc_timezone() : zone.tz);
  } else {
    std::tm tm{};
    localtime_r(&t, &tm);
    wall = icaltime_null_time();
    wall.year = tm.tm_year + 1900;
    wall.month = tm.tm_mon + 1;
    wall.day = tm.tm_mday;
    wall.hour = tm.tm_hour;
    wall.minute = tm.tm_min;
    wall.second = tm.tm_sec;
  }
  wall.zone = nullptr;
  wall.is_daylight = 0;
  if (isDate) {
    wall.is_date = 1;
    wall.hour = wall.minute = wall.second = 0;
  }
  return wall;
}

void ZoneCache::forgetDefinitions() {
  for (auto& [key, zone] : defined_) {
    if (zone != nullptr) icaltimezone_free(zone, 1);
  }
  defined_.clear();
}

ZoneCache::~ZoneCache() { forgetDefinitions(); }

icaltimezone* ZoneCache::fromDefinition(const std::string& key, icalcomponent* vtimezone) {
  if (const auto it = defined_.find(key); it != defined_.end()) return it->second;
  if (!plausible(vtimezone)) {
    defined_.emplace(key, nullptr);
    return nullptr;
  }
  icaltimezone* zone = icaltimezone_new();
  if (zone == nullptr) return nullptr;
  icalcomponent* copy = icalcomponent_new_clone(vtimezone);
  if (copy == nullptr || icaltimezone_set_component(zone, copy) == 0) {
    if (copy != nullptr) icalcomponent_free(copy);
    icaltimezone_free(zone, 1);
    zone = nullptr;
  }
  defined_.emplace(key, zone);
  return zone;
}

icaltimezone* ZoneCache::fromDefinitionKey(const std::string& key) {
  if (const auto it = defined_.find(key); it != defined_.end()) return it->second;
  const std::size_t newline = key.find('\n');
  icalcomponent* root =
      newline == std::string::npos ? nullptr : icalparser_parse_string(key.c_str() + newline + 1);
  icalcomponent* vtimezone = root;
  if (root != nullptr && icalcomponent_isa(root) != ICAL_VTIMEZONE_COMPONENT) {
    vtimezone = icalcomponent_get_first_component(root, ICAL_VTIMEZONE_COMPONENT);
  }
  icaltimezone* zone = nullptr;
  if (vtimezone != nullptr) {
    zone = fromDefinition(key, vtimezone);
  } else {
    defined_.emplace(key, nullptr);
  }
  if (root != nullptr) icalcomponent_free(root);
  return zone;
}

icaltimezone* ZoneCache::fromSystem(const std::string& tzid) {
  if (const auto it = system_.find(tzid); it != system_.end()) return it->second;
  icaltimezone* zone = nullptr;
  if (tzid == "UTC" || tzid == "Etc/UTC" || tzid == "GMT" || tzid == "Z") {
    zone = icaltimezone_get_utc_timezone();
  } else if (tzid.find("..") == std::string::npos) {
    zone = icaltimezone_get_builtin_timezone(tzid.c_str());
    if (zone == nullptr) zone = icaltimezone_get_builtin_timezone_from_tzid(tzid.c_str());
  }
  // The builtin zones belong to the library and live for the whole process.
  if (system_.size() >= kMaxDefinitions) system_.clear();
  system_.emplace(tzid, zone);
  return zone;
}

void ZoneCache::limitSize() {
  if (defined_.size() >= kMaxDefinitions) forgetDefinitions();
}

}  // namespace calendar
