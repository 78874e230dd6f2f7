// Time zones for the iCalendar reader, and the conversions between wall-clock
// times and instants. Expanding a VTIMEZONE into its transitions is by far the
// costliest part of reading a one-event file, so each distinct definition
// (the same TZID with the same text) is expanded once and shared by every file
// that carries it.
#pragma once

#include <libical/ical.h>

#include <string>
#include <unordered_map>

namespace calendar {

// How a wall-clock time is read: in a zone, in UTC, or floating (the
// process's local time zone, as TZ says).
struct Zone {
  icaltimezone* tz = nullptr;
  bool utc = false;
};

// The instant (seconds since 1970) of `wall` read in `zone`. A DATE is its
// midnight. `wall.zone` is ignored.
double instantOf(icaltimetype wall, Zone zone);

// The wall-clock time of `instant` in `zone` (a DATE when `isDate`), with no
// zone attached.
icaltimetype wallOf(double instant, Zone zone, bool isDate);

// Not thread-safe; one per store, used by one thread at a time.
class ZoneCache {
 public:
  ZoneCache() = default;
  ZoneCache(const ZoneCache&) = delete;
  ZoneCache& operator=(const ZoneCache&) = delete;
  ~ZoneCache();

  // The shared zone of a file's VTIMEZONE. `key` identifies the definition
  // (its TZID and text); `vtimezone` is only read, and only on first use.
  // Nothing when the definition is unusable.
  icaltimezone* fromDefinition(const std::string& key, icalcomponent* vtimezone);

  // The same for a key alone: the definition is read from the key's text
  // (after the TZID and its newline) when the zone is not shared yet.
  icaltimezone* fromDefinitionKey(const std::string& key);

  // The zone named `tzid` in the system's zone database, or nothing.
  icaltimezone* fromSystem(const std::string& tzid);

  // Forgets every shared definition once there are too many of them, so
  // that memory does not grow with the store. No zone returned earlier may
  // be in use.
  void limitSize();

 private:
  void forgetDefinitions();

  std::unordered_map<std::string, icaltimezone*> defined_;  // nullptr: unusable
  std::unordered_map<std::string, icaltimezone*> system_;
};

}  // namespace calendar
