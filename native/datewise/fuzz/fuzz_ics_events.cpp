// Any bytes as a calendar file: the store and the records never crash, and
// what the events mode would write is one line of valid JSON holding every
// event's nine keys.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Datewise.h"
#include "calendar/IcsCalendarStore.h"

namespace {

// A broken promise names itself before the crash, so a finding says which.
#define require(condition) \
  ((condition) ? void(0) : (std::fprintf(stderr, "failed: %s\n", #condition), std::abort()))

// A store directory made once per process; each input replaces its one file.
const std::string& storeDirectory() {
  static const std::string& directory = *[] {
    setenv("TZ", "UTC", 1);
    char pattern[] = "/tmp/fuzz-ics-events-XXXXXX";
    auto* path = new std::string(mkdtemp(pattern));
    // The store's index goes beside the store, not into the user's cache.
    setenv("XDG_CACHE_HOME", (*path + "/cache").c_str(), 1);
    std::ofstream(*path + "/access") << "granted\n";
    std::ofstream(*path + "/me") << "me@example.com\n";
    mkdir((*path + "/calendars").c_str(), 0755);
    mkdir((*path + "/calendars/work").c_str(), 0755);
    std::atexit([] { std::filesystem::remove_all(storeDirectory()); });
    return path;
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const icu::RegexPattern& linkRe = *datewise::compileLinkRe().release();
  const std::string& directory = storeDirectory();
  {
    std::ofstream file(directory + "/calendars/work/event.ics", std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  auto store = calendar::openIcsCalendarStore(directory);
  // One day, 2026-03-02 UTC: wide enough for the seeds, narrow enough that a
  // rule repeating every second stays cheap.
  nlohmann::json events =
      datewise::eventsInWindow(*store, 1772409600000.0, 1772496000000.0, linkRe);
  std::optional<std::string> line =
      datewise::emitLine({{"status", "granted"}, {"events", std::move(events)}});
  require(line.has_value());
  require(line->find('\n') == line->size() - 1);
  auto parsed = nlohmann::json::parse(*line, nullptr, false);
  require(parsed.is_object() && parsed["events"].is_array());
  for (const auto& record : parsed["events"]) {
    for (const char* key : {"id", "title", "start", "end", "allDay", "calendar", "calendarKind",
                            "writable", "attendees"}) {
      require(record.contains(key));
    }
    require(record["start"].is_number_integer() && record["attendees"].is_array());
  }
  return 0;
}
