// The calendar store over a directory of iCalendar files:
//
//   access       the permission: a status word or an integer
//   me           the user's own calendar addresses, one a line
//   calendars/   one entry per calendar (usually a symbolic link): a vdir
//                collection, an account directory of collections, or an
//                .ics file
//   prompt       optional executable that asks for access
//
// Nothing here prints, and no exception leaves a call.
#pragma once

#include <memory>
#include <string>

#include "calendar/CalendarStore.h"

namespace calendar {

// $DATEWISE_STORE when set and not empty, else $XDG_DATA_HOME/datewise (when
// set and not empty), else $HOME/.local/share/datewise.
std::string defaultStoreDirectory();

// Does no I/O worth speaking of; files are read when a call needs them. The
// store is used from one thread at a time (the completion of an access
// request runs on a thread of its own and touches no store state). While
// eventsMatching runs, file descriptor 2 points at /dev/null: the iCalendar
// library writes some parse warnings there directly.
std::unique_ptr<CalendarStore> openIcsCalendarStore(std::string directory);

}  // namespace calendar
