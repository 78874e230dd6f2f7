// The calendar store as datewise sees it: the permission, the access
// request, the window query, and the event, calendar and participant
// properties it reads. Nothing here knows where the calendars come from;
// IcsCalendarStore.h is the implementation over iCalendar files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace calendar {

// Authorization status for events. Any other integer may come back too and
// stands for a state this program does not know.
enum AuthorizationStatus : std::int64_t {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  fullAccess = 3,
  writeOnly = 4,
};

struct Calendar {
  std::string title;
  // 0 local, 1 CalDAV, 2 Exchange, 3 subscription, 4 birthday; other values
  // are possible and mean an unknown kind.
  std::int64_t type = 0;
  bool allowsContentModifications = false;
  bool operator==(const Calendar&) const = default;
};

struct Participant {
  // 0 undetermined, 1 person, 2 room, 3 resource, 4 group; other values possible.
  std::int64_t participantType = 1;
  // 0 undetermined, 1 pending, 2 accepted, 3 declined, 4 tentative,
  // 5 delegated, 6 completed, 7 in process; other values possible.
  std::int64_t participantStatus = 1;
  bool isCurrentUser = false;
  std::optional<std::string> name;
  // The calendar address as written, such as "mailto:bob@example.com".
  std::string url;
  bool operator==(const Participant&) const = default;
};

// One occurrence of an event. Dates are seconds since 1970-01-01 00:00:00 UTC.
// Every text is valid UTF-8.
struct Event {
  std::int64_t status = 0;  // 0 none, 1 confirmed, 2 tentative, 3 canceled
  std::optional<std::vector<Participant>> attendees;
  std::optional<double> startDate;
  std::optional<double> endDate;
  std::optional<std::string> eventIdentifier;
  std::string calendarItemIdentifier;
  std::optional<std::string> title;
  bool isAllDay = false;
  std::optional<Calendar> calendar;
  std::optional<std::string> location;
  std::optional<std::string> notes;
  std::optional<std::string> url;  // the URL property's text as written
  std::optional<Participant> organizer;
  bool operator==(const Event&) const = default;
};

// A window of time: what a query asks for.
struct EventPredicate {
  double startDate = 0;  // seconds since 1970
  double endDate = 0;
};

class CalendarStore {
 public:
  virtual ~CalendarStore() = default;

  // The current permission for events, read afresh on every call; never prompts.
  virtual std::int64_t authorizationStatus() = 0;

  // Asks a person for full access to events. `completion` runs exactly once,
  // on a thread of its own, after the answer (if any) has been recorded; the
  // caller learns the outcome from authorizationStatus() afterwards.
  virtual void requestFullAccessToEvents(
      std::function<void(bool granted, std::optional<std::string> error)> completion) = 0;

  // Like the system calendar stores it stands in for, a predicate spans at
  // most four years: a longer window is shortened to its first four years.
  // Without a bound, a window such as -inf to inf would have every endless
  // recurrence expand without end.
  static constexpr double maximumSpan = 4 * 365.25 * 86400;

  // A predicate for the events of every calendar in [start, end), shortened
  // to `maximumSpan` from its start.
  virtual EventPredicate predicateForEvents(double startDate, double endDate) {
    if (endDate - startDate > maximumSpan) endDate = startDate + maximumSpan;
    return EventPredicate{startDate, endDate};
  }

  // Every occurrence that overlaps the predicate's window, in the store's
  // order (not sorted by start date). Never fails: what cannot be read is
  // passed over.
  virtual std::vector<Event> eventsMatching(const EventPredicate& predicate) = 0;
};

}  // namespace calendar
