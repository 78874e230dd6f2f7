// datewise: reports the calendar permission, asks for it, or lists the events
// of a window as one JSON line. The logic is in Datewise.cpp; this file only
// creates the two long-lived objects and hands the process to it.
#include <cstdlib>
#include <string>
#include <vector>

#include "Datewise.h"
#include "Relaunch.h"
#include "calendar/IcsCalendarStore.h"

extern char** environ;

namespace {

// Created once, in this order, and never destroyed: the program may exit
// from anywhere.
const icu::RegexPattern* linkRe = nullptr;
calendar::CalendarStore* store = nullptr;

}  // namespace

int main(int argc, char** argv) {
  linkRe = datewise::compileLinkRe().release();
  if (!linkRe) std::abort();  // a constant pattern: only a broken build gets here

  std::vector<std::string> args(argv, argv + argc);
  datewise::RunContext context;
  context.args = args;
  context.disclaimedMarker = std::getenv("DATEWISE_DISCLAIMED") != nullptr;
  context.relaunch = [&args]() -> int { datewise::reexecDisclaimed(args, environ); };
  context.openStore = []() -> calendar::CalendarStore& {
    if (!store) store = calendar::openIcsCalendarStore(calendar::defaultStoreDirectory()).release();
    return *store;
  };
  context.linkRe = linkRe;
  context.outputs = &datewise::processOutputs();
  std::exit(datewise::run(context));
}
