#include "calendar/IcsFile.h"

#include <libical/ical.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>

#include "calendar/RuleStepper.h"

namespace calendar {

namespace {

// A recurrence rule is never stepped more often than this, whatever the
// window: a rule such as FREQ=SECONDLY over an endless window would otherwise
// never finish.
constexpr int kMaxRuleSteps = 1'000'000;
// How far a wall-clock time can be from the same instant read as UTC, with
// room to spare: the window is widened by this much before recurrences are
// stepped in wall-clock time.
constexpr double kWallMargin = 3 * 86400.0;

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

struct Scanner {
  Scanner(std::string_view t, bool times) : text(t), timesOnly(times) {}

  std::string_view text;
  bool timesOnly;
  RawFile raw;
  std::vector<std::string> stack;
  RawEvent* event = nullptr;
  std::size_t eventDepth = 0;
  std::size_t zoneBegin = std::string_view::npos;
  std::string zoneTzid;

  bool topLevelChild() const {
    return stack.size() == 1 || (stack.size() == 2 && stack[0] == "VCALENDAR");
  }

  void line(std::string_view logical, std::size_t begin, std::size_t end) {
    const std::optional<ContentLine> split = splitContentLine(logical);
    if (!split) return;
    const std::string_view name = split->name;
    const std::string_view value = split->value;
    if (equalsIgnoreAsciiCase(name, "BEGIN")) {
      begin_(upper(trimAscii(value)), begin);
    } else if (equalsIgnoreAsciiCase(name, "END")) {
      end_(upper(trimAscii(value)), end);
    } else {
      property(name, split->params, value);
    }
  }

  void begin_(std::string component, std::size_t begin) {
    stack.push_back(std::move(component));
    if (!topLevelChild()) {
      if (stack.back() == "VEVENT" || stack.back() == "VTIMEZONE") raw.irregular = true;
      return;
    }
    if (stack.back() == "VEVENT") {
      raw.events.emplace_back();
      event = &raw.events.back();
      eventDepth = stack.size();
    } else if (stack.back() == "VTIMEZONE") {
      zoneBegin = begin;
      zoneTzid.clear();
    }
  }

  void end_(const std::string& component, std::size_t end) {
    if (stack.empty() || stack.back() != component) {
      raw.irregular = true;
      return;
    }
    if (topLevelChild()) {
      if (component == "VEVENT") event = nullptr;
      if (component == "VTIMEZONE" && zoneBegin != std::string_view::npos) {
        raw.zones.push_back({zoneTzid, text.substr(zoneBegin, end - zoneBegin)});
        zoneBegin = std::string_view::npos;
      }
    }
    stack.pop_back();
  }

  static void keepFirst(std::optional<std::string>& slot, std::string value) {
    if (!slot) slot = std::move(value);
  }

  // `params` is ";NAME=value;NAME=\"quoted\"..." as written.
  static RawParticipant participant(std::string_view params, std::string_view value) {
    RawParticipant p;
    p.address = std::string(value);
    while (!params.empty() && params[0] == ';') {
      params.remove_prefix(1);
      const std::size_t equals = params.find_first_of("=;");
      const std::string_view name = params.substr(0, equals);
      if (equals == std::string_view::npos || params[equals] != '=') {
        params.remove_prefix(equals == std::string_view::npos ? params.size() : equals);
        continue;
      }
      params.remove_prefix(equals + 1);
      std::string text;
      for (bool quoted = false; !params.empty(); params.remove_prefix(1)) {
        const char c = params[0];
        if (c == '"') {
          quoted = !quoted;
        } else if (c == ';' && !quoted) {
          break;
        } else {
          text += c;
        }
      }
      if (equalsIgnoreAsciiCase(name, "CN"))
        keepFirst(p.cn, std::move(text));
      else if (equalsIgnoreAsciiCase(name, "CUTYPE"))
        keepFirst(p.cutype, std::move(text));
      else if (equalsIgnoreAsciiCase(name, "PARTSTAT"))
        keepFirst(p.partstat, std::move(text));
    }
    return p;
  }

  void property(std::string_view name, std::string_view params, std::string_view value) {
    if (stack.empty()) return;
    const std::string& top = stack.back();
    if (event != nullptr && stack.size() == eventDepth && top == "VEVENT") {
      if (equalsIgnoreAsciiCase(name, "DTSTART")) {
        keepFirst(event->dtstart, std::string(value));
        ++event->starts;
      }
      if (equalsIgnoreAsciiCase(name, "DTEND")) {
        keepFirst(event->dtend, std::string(value));
        ++event->ends;
      }
      if (equalsIgnoreAsciiCase(name, "DURATION")) keepFirst(event->duration, std::string(value));
      if (equalsIgnoreAsciiCase(name, "RRULE")) event->rrules.emplace_back(value);
      if (equalsIgnoreAsciiCase(name, "RDATE")) event->hasRdate = true;
      if (timesOnly) return;
      if (equalsIgnoreAsciiCase(name, "ATTENDEE"))
        event->attendees.push_back(participant(params, value));
      if (equalsIgnoreAsciiCase(name, "ORGANIZER") && !event->organizer) {
        event->organizer = participant(params, value);
      }
      if (equalsIgnoreAsciiCase(name, "UID")) keepFirst(event->uid, unescapeText(value));
      if (equalsIgnoreAsciiCase(name, "SUMMARY")) keepFirst(event->summary, unescapeText(value));
      if (equalsIgnoreAsciiCase(name, "LOCATION")) keepFirst(event->location, unescapeText(value));
      if (equalsIgnoreAsciiCase(name, "DESCRIPTION"))
        keepFirst(event->description, unescapeText(value));
      if (equalsIgnoreAsciiCase(name, "URL")) keepFirst(event->url, std::string(value));
    } else if (top == "VCALENDAR" && stack.size() == 1 &&
               equalsIgnoreAsciiCase(name, "X-WR-CALNAME")) {
      keepFirst(raw.calendarName, unescapeText(value));
    } else if (top == "VTIMEZONE" && zoneBegin != std::string_view::npos &&
               equalsIgnoreAsciiCase(name, "TZID")) {
      zoneTzid = std::string(value);
    }
  }
};

// ---- times ---------------------------------------------------------------

// A time of the file as read: its wall-clock time, the zone it is read in
// (and that zone's place in the digest), and its instant.
struct Time {
  icaltimetype wall;  // no zone attached
  Zone zone;
  std::uint32_t zoneRef = 0;
  bool isDate = false;
  double instant = 0;
};

long long dayNumber(const icaltimetype& t) {
  return static_cast<long long>(t.year) * 10000 + t.month * 100 + t.day;
}

// A text from the library. Its unescaping can split a character (a backslash
// before a multi-byte character loses the character's first byte), so the
// result is repaired again.
std::optional<std::string> textOf(const char* s) {
  if (s == nullptr) return std::nullopt;
  return repairUtf8(s);
}

// Whether the participant is the user is left to the query: the user's
// addresses are not part of the file.
Participant participantOf(icalproperty* p) {
  Participant r;
  icalvalue* value = icalproperty_get_value(p);
  const char* address = nullptr;
  if (value != nullptr) {
    address = icalvalue_isa(value) == ICAL_CALADDRESS_VALUE ? icalvalue_get_caladdress(value)
                                                            : icalproperty_get_value_as_string(p);
  }
  r.url = textOf(address).value_or("");
  if (icalparameter* cutype = icalproperty_get_first_parameter(p, ICAL_CUTYPE_PARAMETER)) {
    switch (icalparameter_get_cutype(cutype)) {
      case ICAL_CUTYPE_INDIVIDUAL:
        r.participantType = 1;
        break;
      case ICAL_CUTYPE_ROOM:
        r.participantType = 2;
        break;
      case ICAL_CUTYPE_RESOURCE:
        r.participantType = 3;
        break;
      case ICAL_CUTYPE_GROUP:
        r.participantType = 4;
        break;
      default:
        r.participantType = 0;
        break;
    }
  }
  if (icalparameter* partstat = icalproperty_get_first_parameter(p, ICAL_PARTSTAT_PARAMETER)) {
    switch (icalparameter_get_partstat(partstat)) {
      case ICAL_PARTSTAT_NEEDSACTION:
        r.participantStatus = 1;
        break;
      case ICAL_PARTSTAT_ACCEPTED:
        r.participantStatus = 2;
        break;
      case ICAL_PARTSTAT_DECLINED:
        r.participantStatus = 3;
        break;
      case ICAL_PARTSTAT_TENTATIVE:
        r.participantStatus = 4;
        break;
      case ICAL_PARTSTAT_DELEGATED:
        r.participantStatus = 5;
        break;
      case ICAL_PARTSTAT_COMPLETED:
        r.participantStatus = 6;
        break;
      case ICAL_PARTSTAT_INPROCESS:
        r.participantStatus = 7;
        break;
      default:
        r.participantStatus = 0;
        break;
    }
  }
  if (icalparameter* cn = icalproperty_get_first_parameter(p, ICAL_CN_PARAMETER)) {
    r.name = textOf(icalparameter_get_cn(cn));
  }
  return r;
}

// CUTYPE and PARTSTAT words, compared without regard to case as the
// parameter values are defined.
std::int64_t indexOf(const std::optional<std::string>& word,
                     std::initializer_list<std::pair<const char*, std::int64_t>> table,
                     std::int64_t absent) {
  if (!word) return absent;
  for (const auto& [text, value] : table) {
    if (equalsIgnoreAsciiCase(*word, text)) return value;
  }
  return 0;
}

Participant participantOf(const RawParticipant& raw) {
  Participant r;
  r.url = raw.address;
  r.participantType =
      indexOf(raw.cutype,
              {{"INDIVIDUAL", 1}, {"ROOM", 2}, {"RESOURCE", 3}, {"GROUP", 4}, {"UNKNOWN", 0}}, 1);
  r.participantStatus = indexOf(raw.partstat,
                                {{"NEEDS-ACTION", 1},
                                 {"ACCEPTED", 2},
                                 {"DECLINED", 3},
                                 {"TENTATIVE", 4},
                                 {"DELEGATED", 5},
                                 {"COMPLETED", 6},
                                 {"IN-PROCESS", 7}},
                                1);
  r.name = raw.cn;
  return r;
}

// ---- the digest of a file -------------------------------------------------

class DigestBuilder {
 public:
  DigestBuilder(const RawFile& raw, ZoneCache& zones) : raw_(raw), zones_(zones) {
    digest_.zones.push_back(ZoneRef{ZoneRef::floating, {}});
  }

  FileDigest build(icalcomponent* root) {
    collect(root, 0);
    aligned_ = !raw_.irregular && events_.size() == raw_.events.size();
    defineZones();
    for (std::size_t i = 0; i < events_.size(); ++i) {
      if (auto event = eventOf(events_[i], i)) digest_.events.push_back(std::move(*event));
    }
    return std::move(digest_);
  }

 private:
  struct FileZone {
    icaltimezone* zone;
    std::string key;
  };

  void collect(icalcomponent* c, int depth) {
    const icalcomponent_kind kind = icalcomponent_isa(c);
    if (kind == ICAL_VEVENT_COMPONENT) {
      events_.push_back(c);
    } else if (kind == ICAL_VTIMEZONE_COMPONENT) {
      timezones_.push_back(c);
    } else if (depth < 2 && (kind == ICAL_VCALENDAR_COMPONENT || kind == ICAL_XROOT_COMPONENT)) {
      for (icalcomponent* child = icalcomponent_get_first_component(c, ICAL_ANY_COMPONENT);
           child != nullptr; child = icalcomponent_get_next_component(c, ICAL_ANY_COMPONENT)) {
        collect(child, depth + 1);
      }
    }
  }

  void defineZones() {
    const bool zonesAligned = !raw_.irregular && timezones_.size() == raw_.zones.size();
    for (std::size_t i = 0; i < timezones_.size(); ++i) {
      icalproperty* p = icalcomponent_get_first_property(timezones_[i], ICAL_TZID_PROPERTY);
      const char* tzid = p != nullptr ? icalproperty_get_tzid(p) : nullptr;
      if (tzid == nullptr || fileZones_.count(tzid) > 0) continue;
      std::string key = tzid;
      key += '\n';
      if (zonesAligned) {
        key.append(raw_.zones[i].definition);
      } else if (const char* text = icalcomponent_as_ical_string(timezones_[i])) {
        key += text;
      }
      icaltimezone* zone = zones_.fromDefinition(key, timezones_[i]);
      fileZones_.emplace(tzid, FileZone{zone, std::move(key)});
    }
  }

  std::uint32_t refOf(ZoneRef ref) {
    const auto it = std::find(digest_.zones.begin(), digest_.zones.end(), ref);
    if (it != digest_.zones.end()) return static_cast<std::uint32_t>(it - digest_.zones.begin());
    digest_.zones.push_back(std::move(ref));
    return static_cast<std::uint32_t>(digest_.zones.size() - 1);
  }

  void readIn(const char* tzid, Time& time) {
    if (const auto it = fileZones_.find(tzid);
        it != fileZones_.end() && it->second.zone != nullptr) {
      time.zone = Zone{it->second.zone, false};
      time.zoneRef = refOf(ZoneRef{ZoneRef::defined, it->second.key});
      return;
    }
    // A zone that neither the file nor the system knows is read as floating.
    time.zone = Zone{zones_.fromSystem(tzid), false};
    time.zoneRef = refOf(ZoneRef{ZoneRef::system, tzid});
  }

  std::optional<Time> timeOf(icalproperty* p, icaltimetype t) {
    if (icaltime_is_null_time(t) || !icaltime_is_valid_time(t)) return std::nullopt;
    Time r;
    r.isDate = t.is_date != 0;
    if (!r.isDate) {
      if (icaltime_is_utc(t)) {
        r.zone.utc = true;
        r.zoneRef = refOf(ZoneRef{ZoneRef::utc, {}});
      } else if (icalparameter* tzid = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER)) {
        if (const char* name = icalparameter_get_tzid(tzid)) readIn(name, r);
      }
    }
    r.wall = t;
    r.wall.zone = nullptr;
    r.wall.is_daylight = 0;
    r.instant = instantOf(r.wall, r.zone);
    if (!std::isfinite(r.instant)) return std::nullopt;
    return r;
  }

  // The start and the length of each occurrence; nothing for an event that
  // cannot be placed.
  bool shapeOf(icalcomponent* c, DigestEvent& event, Time& start) {
    icalproperty* dtstart = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
    if (dtstart == nullptr) return false;
    const auto first = timeOf(dtstart, icalproperty_get_dtstart(dtstart));
    if (!first) return false;
    start = *first;
    int days = 0;
    double seconds = 0;
    std::optional<Time> end;
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY)) {
      end = timeOf(p, icalproperty_get_dtend(p));
    }
    icalproperty* duration = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY);
    if (end) {
      if (start.isDate && end->isDate) {
        days = static_cast<int>(std::lround((instantOf(end->wall, Zone{nullptr, true}) -
                                             instantOf(start.wall, Zone{nullptr, true})) /
                                            86400.0));
      } else {
        seconds = end->instant - start.instant;
      }
    } else if (duration != nullptr) {
      const icaldurationtype d = icalproperty_get_duration(duration);
      const int sign = d.is_neg ? -1 : 1;
      const int wholeDays = sign * static_cast<int>(d.days + 7 * d.weeks);
      const double rest = sign * (d.hours * 3600.0 + d.minutes * 60.0 + d.seconds);
      if (start.isDate) {
        days = wholeDays;
        seconds = rest;
      } else {
        icaltimetype wall = start.wall;
        icaltime_adjust(&wall, wholeDays, 0, 0, 0);
        seconds = instantOf(wall, start.zone) - start.instant + rest;
      }
    } else if (start.isDate) {
      days = 1;
    }
    // An end before the start is read as no length at all.
    if (days < 0) days = 0;
    if (days == 0 && !(seconds > 0)) seconds = 0;
    event.start = {start.instant, start.wall};
    event.zone = start.zoneRef;
    event.isDate = start.isDate;
    event.days = days;
    event.seconds = seconds;
    return true;
  }

  std::optional<DigestEvent> eventOf(icalcomponent* c, std::size_t index) {
    DigestEvent event;
    Time start;
    if (!shapeOf(c, event, start)) return std::nullopt;
    event.number = static_cast<std::uint32_t>(index + 1);
    event.base = baseEvent(c, index);
    if (icalproperty* rid = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) {
      // icalcomponent_get_recurrenceid() loses the TZID; read it here.
      event.isOverride = true;
      if (const auto t = timeOf(rid, icalproperty_get_recurrenceid(rid))) {
        event.recurrenceId = t->instant;
      }
      return event;  // an override stands for one occurrence only
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      icalrecurrencetype rule = icalproperty_get_rrule(p);
      if (rule.freq == ICAL_NO_RECURRENCE) continue;
      if (char* text = icalrecurrencetype_as_string_r(&rule)) {
        event.rules.emplace_back(text);
        icalmemory_free_buffer(text);
      }
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
      const icaldatetimeperiodtype r = icalproperty_get_rdate(p);
      const icaltimetype t = icalperiodtype_is_null_period(r.period) ? r.time : r.period.start;
      const auto time = timeOf(p, t);
      if (!time) continue;
      const icaltimetype wall = start.isDate && time->isDate
                                    ? time->wall
                                    : wallOf(time->instant, start.zone, start.isDate);
      event.rdates.push_back({time->instant, wall});
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
      const auto time = timeOf(p, icalproperty_get_exdate(p));
      if (!time) continue;
      // A date excludes that day of a date-time series, in the series' zone.
      if (time->isDate && !start.isDate) {
        event.exDays.push_back(dayNumber(time->wall));
      } else {
        event.exInstants.push_back(time->instant);
      }
    }
    sortUnique(event.exDays);
    sortUnique(event.exInstants);
    return event;
  }

  template <typename T>
  static void sortUnique(std::vector<T>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
  }

  Event baseEvent(icalcomponent* c, std::size_t index) {
    Event e;
    switch (icalcomponent_get_status(c)) {
      case ICAL_STATUS_CONFIRMED:
        e.status = 1;
        break;
      case ICAL_STATUS_TENTATIVE:
        e.status = 2;
        break;
      case ICAL_STATUS_CANCELLED:
        e.status = 3;
        break;
      default:
        e.status = 0;
        break;
    }
    if (aligned_) {
      const RawEvent& raw = raw_.events[index];
      for (const RawParticipant& p : raw.attendees) {
        if (!e.attendees) e.attendees.emplace();
        e.attendees->push_back(participantOf(p));
      }
      if (raw.organizer) e.organizer = participantOf(*raw.organizer);
      e.eventIdentifier = raw.uid;
      e.title = raw.summary;
      e.location = raw.location;
      e.notes = raw.description;
      e.url = raw.url;
    } else {
      for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_ATTENDEE_PROPERTY);
           p != nullptr; p = icalcomponent_get_next_property(c, ICAL_ATTENDEE_PROPERTY)) {
        if (!e.attendees) e.attendees.emplace();
        e.attendees->push_back(participantOf(p));
      }
      if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_ORGANIZER_PROPERTY)) {
        e.organizer = participantOf(p);
      }
      e.eventIdentifier = textOf(icalcomponent_get_uid(c));
      e.title = textOf(icalcomponent_get_summary(c));
      e.location = textOf(icalcomponent_get_location(c));
      e.notes = textOf(icalcomponent_get_description(c));
      if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_URL_PROPERTY)) {
        e.url = textOf(icalproperty_get_value_as_string(p));
      }
    }
    return e;
  }

  const RawFile& raw_;
  ZoneCache& zones_;
  FileDigest digest_;
  std::vector<icalcomponent*> events_;
  std::vector<icalcomponent*> timezones_;
  std::unordered_map<std::string, FileZone> fileZones_;
  bool aligned_ = false;
};

// ---- a window of a digest -------------------------------------------------

Zone resolve(const ZoneRef& ref, ZoneCache& zones) {
  switch (ref.kind) {
    case ZoneRef::floating:
      return Zone{};
    case ZoneRef::utc:
      return Zone{nullptr, true};
    case ZoneRef::system:
      return Zone{zones.fromSystem(ref.name), false};
    case ZoneRef::defined:
      if (icaltimezone* zone = zones.fromDefinitionKey(ref.name)) return Zone{zone, false};
      return Zone{zones.fromSystem(ref.name.substr(0, ref.name.find('\n'))), false};
  }
  return Zone{};
}

struct Hit {
  double start;
  double end;
  std::size_t event;
};

class WindowReader {
 public:
  WindowReader(const FileDigest& digest, const FileContext& context, double windowStart,
               double windowEnd, ZoneCache& zones)
      : digest_(digest), context_(context), windowStart_(windowStart), windowEnd_(windowEnd) {
    zones_.reserve(digest.zones.size());
    for (const ZoneRef& ref : digest.zones) zones_.push_back(resolve(ref, zones));
  }

  void read(std::vector<Event>& out) {
    const std::vector<DigestEvent>& events = digest_.events;
    std::map<std::string, std::set<double>> overridden;
    for (const DigestEvent& e : events) {
      if (e.isOverride && e.base.eventIdentifier && e.recurrenceId) {
        overridden[*e.base.eventIdentifier].insert(*e.recurrenceId);
      }
    }
    static const std::set<double> none;
    std::vector<Hit> hits;
    std::vector<WallInstant> occurrences;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const DigestEvent& event = events[i];
      occurrences.clear();
      if (event.isOverride) {
        occurrences.push_back(event.start);
      } else {
        const auto it = event.base.eventIdentifier ? overridden.find(*event.base.eventIdentifier)
                                                   : overridden.end();
        expand(event, it == overridden.end() ? none : it->second, occurrences);
      }
      for (const WallInstant& o : occurrences) {
        const double end = endOf(event, o);
        if (overlaps(o.instant, end)) hits.push_back({o.instant, end, i});
      }
    }
    std::stable_sort(hits.begin(), hits.end(),
                     [](const Hit& a, const Hit& b) { return a.start < b.start; });
    std::vector<std::optional<Event>> bases(events.size());
    for (const Hit& hit : hits) {
      std::optional<Event>& base = bases[hit.event];
      if (!base) base = baseEvent(events[hit.event]);
      Event& e = out.emplace_back(*base);
      e.startDate = hit.start;
      e.endDate = hit.end;
    }
  }

 private:
  double endOf(const DigestEvent& event, const WallInstant& occurrence) const {
    if (event.days <= 0) return occurrence.instant + event.seconds;
    icaltimetype wall = occurrence.wall;
    icaltime_adjust(&wall, event.days, 0, 0, 0);
    return instantOf(wall, zones_[event.zone]) + event.seconds;
  }

  bool overlaps(double start, double end) const {
    if (end > start) return start < windowEnd_ && end > windowStart_;
    return start >= windowStart_ && start < windowEnd_;
  }

  void expand(const DigestEvent& event, const std::set<double>& overridden,
              std::vector<WallInstant>& kept) const {
    const double longest = std::max(event.days, 0) * 86400.0 + event.seconds + kWallMargin;
    const double lower = windowStart_ - longest;
    const double upper = windowEnd_ + kWallMargin;
    std::vector<WallInstant> all;
    if (event.start.instant >= lower && event.start.instant <= upper) all.push_back(event.start);
    const Zone zone = zones_[event.zone];
    for (const std::string& text : event.rules) {
      icalrecurrencetype rule = icalrecurrencetype_from_string(text.c_str());
      expandRule(rule, event, zone, lower, upper, all);
      // The library leaves the rule's calendar name to its reader.
      if (rule.rscale != nullptr) icalmemory_free_buffer(rule.rscale);
    }
    for (const WallInstant& r : event.rdates) {
      if (r.instant >= lower && r.instant <= upper) all.push_back(r);
    }
    std::stable_sort(all.begin(), all.end(), [](const WallInstant& a, const WallInstant& b) {
      return a.instant < b.instant;
    });
    for (const WallInstant& o : all) {
      if (!kept.empty() && kept.back().instant == o.instant) continue;
      if (std::binary_search(event.exInstants.begin(), event.exInstants.end(), o.instant) ||
          overridden.count(o.instant) > 0) {
        continue;
      }
      if (std::binary_search(event.exDays.begin(), event.exDays.end(), dayNumber(o.wall))) continue;
      kept.push_back(o);
    }
  }

  // Steps a rule in the series' wall-clock time (as RFC 5545 defines it) and
  // reads each step in the series' zone; the library would read floating
  // times as UTC.
  static void expandRule(icalrecurrencetype rule, const DigestEvent& event, Zone zone, double lower,
                         double upper, std::vector<WallInstant>& out) {
    if (rule.freq == ICAL_NO_RECURRENCE) return;
    if (!icaltime_is_null_time(rule.until)) {
      if (icaltime_is_utc(rule.until) && !zone.utc) {
        rule.until = wallOf(instantOf(rule.until, Zone{nullptr, true}), zone, event.isDate);
      }
      rule.until.zone = nullptr;
    }
    if (stepRule(rule, event.start.wall, zone, lower, upper, kMaxRuleSteps, out)) return;
    icalrecur_iterator* it = icalrecur_iterator_new(rule, event.start.wall);
    if (it == nullptr) return;
    // Start near the window when the rule allows it: a rule with COUNT has
    // to be counted from its first occurrence.
    const bool canStartLate =
        rule.freq == ICAL_DAILY_RECURRENCE || rule.freq == ICAL_WEEKLY_RECURRENCE ||
        rule.freq == ICAL_MONTHLY_RECURRENCE || rule.freq == ICAL_YEARLY_RECURRENCE;
    if (canStartLate && rule.count == 0 && std::isfinite(lower) && lower > event.start.instant) {
      const icaltimetype from = wallOf(lower, Zone{nullptr, true}, event.isDate);
      if (!icaltime_is_null_time(rule.until) && icaltime_compare(rule.until, from) < 0) {
        icalrecur_iterator_free(it);
        return;
      }
      icalrecur_iterator_set_start(it, from);
    }
    for (int step = 0; step < kMaxRuleSteps; ++step) {
      icaltimetype t = icalrecur_iterator_next(it);
      if (icaltime_is_null_time(t)) break;
      t.zone = nullptr;
      if (instantOf(t, Zone{nullptr, true}) > upper) break;
      const double instant = instantOf(t, zone);
      if (instant >= lower) out.push_back({instant, t});
    }
    icalrecur_iterator_free(it);
  }

  Participant withUser(Participant p) const {
    p.isCurrentUser = context_.me != nullptr && isCurrentUser(p.url, *context_.me);
    return p;
  }

  Event baseEvent(const DigestEvent& event) const {
    Event e = event.base;
    if (e.attendees) {
      for (Participant& p : *e.attendees) p = withUser(std::move(p));
    }
    if (e.organizer) e.organizer = withUser(std::move(*e.organizer));
    e.calendarItemIdentifier = context_.itemPath + "#" + std::to_string(event.number);
    e.isAllDay = event.isDate;
    e.calendar = context_.calendar;
    return e;
  }

  const FileDigest& digest_;
  const FileContext& context_;
  const double windowStart_;
  const double windowEnd_;
  std::vector<Zone> zones_;
};
}  // namespace

RawFile scanIcs(std::string_view text, bool timesOnly) {
  Scanner scanner(text, timesOnly);
  std::size_t pos = 0;
  std::string folded;
  while (pos < text.size()) {
    const std::size_t begin = pos;
    const std::string_view first = nextLine(text, pos);
    if (pos >= text.size() || (text[pos] != ' ' && text[pos] != '\t')) {
      scanner.line(first, begin, pos);
      continue;
    }
    folded.assign(first);
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
      folded.append(nextLine(text, pos).substr(1));
    }
    scanner.line(folded, begin, pos);
  }
  if (!scanner.stack.empty()) scanner.raw.irregular = true;
  return std::move(scanner.raw);
}

namespace {

// A DATE or DATE-TIME value ("20250601", "20250601T100000", with or without
// "Z") read as UTC; a zone moves it by less than kZoneSlack.
std::optional<double> roughInstant(std::string_view value) {
  icaltimetype t = icaltime_null_time();
  auto digits = [&](std::size_t at, std::size_t n) -> std::optional<int> {
    if (at + n > value.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (value[i] < '0' || value[i] > '9') return std::nullopt;
      v = v * 10 + (value[i] - '0');
    }
    return v;
  };
  const auto y = digits(0, 4), mo = digits(4, 2), d = digits(6, 2);
  if (!y || !mo || !d) return std::nullopt;
  t.year = *y;
  t.month = *mo;
  t.day = *d;
  t.is_date = 1;
  if (value.size() != 8) {
    const auto h = digits(9, 2), mi = digits(11, 2), sec = digits(13, 2);
    const bool shape = value.size() == 15 || (value.size() == 16 && value[15] == 'Z');
    if (!shape || value[8] != 'T' || !h || !mi || !sec) return std::nullopt;
    t.is_date = 0;
    t.hour = *h;
    t.minute = *mi;
    t.second = *sec;
  }
  return instantOf(t, Zone{nullptr, true});
}

// More than any zone offset a VTIMEZONE can write (two digits of hours),
// plus the length of a day.
constexpr double kZoneSlack = 6 * 86400.0;

std::optional<std::string_view> untilOf(std::string_view rule) {
  std::optional<std::string_view> until;
  while (!rule.empty()) {
    const std::size_t semi = rule.find(';');
    const std::string_view part = rule.substr(0, semi);
    const std::size_t equals = part.find('=');
    const std::string_view key = part.substr(0, equals);
    if (equalsIgnoreAsciiCase(key, "COUNT")) return std::nullopt;
    if (equalsIgnoreAsciiCase(key, "UNTIL") && equals != std::string_view::npos)
      until = part.substr(equals + 1);
    if (semi == std::string_view::npos) break;
    rule.remove_prefix(semi + 1);
  }
  return until;
}

}  // namespace

bool mayOverlap(const RawFile& raw, double windowStart, double windowEnd) {
  if (raw.irregular) return true;
  for (const RawEvent& e : raw.events) {
    if (!e.dtstart) continue;  // never returned
    if (e.duration || e.hasRdate || e.starts > 1 || e.ends > 1) return true;
    const auto start = roughInstant(*e.dtstart);
    if (!start) return true;
    double end = *start;
    if (e.dtend) {
      const auto dtend = roughInstant(*e.dtend);
      if (!dtend) return true;
      end = std::max(end, *dtend);
    }
    double last = end;
    for (const std::string& rule : e.rrules) {
      const auto until = untilOf(rule);
      const auto untilInstant = until ? roughInstant(*until) : std::nullopt;
      if (!untilInstant) return true;
      last = std::max(last, *untilInstant + (end - *start));
    }
    if (*start - kZoneSlack < windowEnd && last + kZoneSlack > windowStart) return true;
  }
  return false;
}

FileDigest digestFile(std::string_view text, const RawFile& raw, ZoneCache& zones) {
  const std::string terminated(text);
  icalcomponent* root = icalparser_parse_string(terminated.c_str());
  if (root == nullptr) return FileDigest{raw.calendarName, {}, {}};
  FileDigest digest = DigestBuilder(raw, zones).build(root);
  digest.calendarName = raw.calendarName;
  icalcomponent_free(root);
  return digest;
}

void appendDigestEvents(const FileDigest& digest, const FileContext& context, double windowStart,
                        double windowEnd, ZoneCache& zones, std::vector<Event>& out) {
  if (digest.events.empty()) return;
  WindowReader(digest, context, windowStart, windowEnd, zones).read(out);
}

void appendFileEvents(std::string_view text, const RawFile& raw, const FileContext& context,
                      double windowStart, double windowEnd, ZoneCache& zones,
                      std::vector<Event>& out) {
  appendDigestEvents(digestFile(text, raw, zones), context, windowStart, windowEnd, zones, out);
}

}  // namespace calendar
