#include "calendar/IcsCalendarStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <libical/ical.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "calendar/AccessRequest.h"
#include "calendar/IcsFile.h"
#include "calendar/StoreFiles.h"
#include "calendar/StoreText.h"
#include "calendar/ZoneCache.h"
#include "calendar/index/StoreIndex.h"

namespace calendar {

namespace {

constexpr off_t kMaxFileBytes = 256 << 20;

void initLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Errors in a file must never abort the process.
    icalerror_set_errors_are_fatal(0);
    tzset();
  });
}

std::optional<std::string> readFile(const std::string& path) {
  // O_NONBLOCK: a FIFO under the store must not hang the query.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes) {
    // Reads the size fstat gave, and up to the end if the file grew.
    text.emplace(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    while (true) {
      if (used == text->size()) text->resize(text->size() * 2);
      const ssize_t n = read(fd, text->data() + used, text->size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) text.reset();
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
      if (used == static_cast<std::size_t>(st.st_size)) break;
    }
    if (text) text->resize(used);
  }
  close(fd);
  return text;
}

// The iCalendar library writes some parse warnings straight to the standard
// error stream, and the store never prints: during a query, file descriptor 2
// points at /dev/null. The store is used by one thread at a time.
class QuietStderr {
 public:
  QuietStderr() : saved_(fcntl(2, F_DUPFD_CLOEXEC, 3)) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, 2);
    if (null >= 0) close(null);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
  ~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  const int saved_;
};

class IcsCalendarStore final : public CalendarStore {
 public:
  explicit IcsCalendarStore(std::string directory) : directory_(std::move(directory)) {
    initLibraries();
  }

  std::int64_t authorizationStatus() override {
    try {
      const std::string path = directory_ + "/access";
      if (!exists(path)) return notDetermined;
      const auto text = readFile(path);
      return text ? parseAccess(*text) : -1;
    } catch (...) {
      return -1;
    }
  }

  void requestFullAccessToEvents(
      std::function<void(bool granted, std::optional<std::string> error)> completion) override {
    auto job = [directory = directory_, completion = std::move(completion)] {
      bool granted = false;
      std::optional<std::string> error;
      try {
        const Answer answer = askPerson(directory);
        if (!recordAnswer(directory, answer)) error = "the answer could not be recorded";
        if (answer == Answer::none) error = "nobody could be asked";
        granted = answer == Answer::yes && !error;
      } catch (...) {
        error = "the request failed";
      }
      try {
        if (completion) completion(granted, std::move(error));
      } catch (...) {
      }
    };
    try {
      std::thread(job).detach();
    } catch (...) {
      // No thread to be had: answer on this one rather than never.
      job();
    }
  }

  std::vector<Event> eventsMatching(const EventPredicate& predicate) override {
    std::vector<Event> events;
    const QuietStderr quiet;
    // The index gives the answer of the full read below at the cost of the
    // files the window needs; without it (switched off, or no cache to be
    // had) the store is read in full.
    if (!indexBypassed()) {
      auto indexed = indexedEvents(directory_, predicate.startDate, predicate.endDate, zones_);
      if (indexed) return std::move(*indexed);
    }
    try {
      start_ = predicate.startDate;
      end_ = predicate.endDate;
      const auto meText = readFile(directory_ + "/me");
      me_ = meText ? parseMe(repairUtf8(*meText)) : AddressSet();
      const std::string root = directory_ + "/calendars";
      for (const std::string& name : sortedEntries(root)) {
        readEntry(root + "/" + name, name, events);
      }
    } catch (...) {
      // Out of memory, most likely: what was read so far is still an answer.
    }
    return events;
  }

 private:
  void readEntry(const std::string& path, const std::string& name, std::vector<Event>& out) {
    const Kind kind = kindOf(path);
    if (kind == Kind::file && isIcsName(name)) {
      readCalendarFile(path, name, out);
    } else if (kind == Kind::directory) {
      const std::vector<std::string> entries = sortedEntries(path);
      const bool collection = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
        return e == "displayname" || isIcsName(e);
      });
      if (collection) {
        readCollection(path, name, name, entries, out);
        return;
      }
      for (const std::string& sub : entries) {
        const std::string subPath = path + "/" + sub;
        if (kindOf(subPath) == Kind::directory) {
          readCollection(subPath, name + "/" + sub, sub, sortedEntries(subPath), out);
        }
      }
    }
  }

  void readCollection(const std::string& path, const std::string& itemPrefix,
                      const std::string& name, const std::vector<std::string>& entries,
                      std::vector<Event>& out) {
    FileContext context;
    context.me = &me_;
    context.calendar.title = repairUtf8(name);
    if (const auto text = readFile(path + "/displayname")) {
      const std::string line(firstLine(repairUtf8(*text)));
      if (!line.empty()) context.calendar.title = line;
    }
    const auto kind = readFile(path + "/kind");
    context.calendar.type = kind ? parseKind(*kind) : 0;
    context.calendar.allowsContentModifications =
        !exists(path + "/read-only") && access(path.c_str(), W_OK) == 0;
    for (const std::string& entry : entries) {
      if (!isIcsName(entry)) continue;
      const std::string filePath = path + "/" + entry;
      const auto bytes = readFile(filePath);
      if (!bytes) continue;
      // File names need not be UTF-8; what the store returns always is.
      context.itemPath = repairUtf8(itemPrefix + "/" + entry);
      readFileEvents(repairUtf8(*bytes), context, nullptr, out);
    }
  }

  void readCalendarFile(const std::string& path, const std::string& name, std::vector<Event>& out) {
    const auto bytes = readFile(path);
    if (!bytes) return;
    FileContext context;
    context.me = &me_;
    context.itemPath = repairUtf8(name);
    context.calendar.title = repairUtf8(name.substr(0, name.size() - 4));
    context.calendar.allowsContentModifications = access(path.c_str(), W_OK) == 0;
    readFileEvents(repairUtf8(*bytes), context, &context.calendar.title, out);
  }

  // `title`, when given, takes the file's X-WR-CALNAME.
  void readFileEvents(const std::string& text, FileContext& context, std::string* title,
                      std::vector<Event>& out) {
    try {
      // Most files of a store hold events far from the window: a look at
      // their times spares parsing them.
      if (!mayOverlap(scanIcs(text, true), start_, end_)) return;
      const RawFile raw = scanIcs(text);
      if (title != nullptr && raw.calendarName) *title = *raw.calendarName;
      appendFileEvents(text, raw, context, start_, end_, zones_, out);
    } catch (...) {
      // A file that cannot be read is passed over.
    }
    zones_.limitSize();
  }

  const std::string directory_;
  ZoneCache zones_;
  AddressSet me_;
  double start_ = 0;
  double end_ = 0;
};

std::string nonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string defaultStoreDirectory() {
  if (std::string store = nonEmptyEnv("DATEWISE_STORE"); !store.empty()) return store;
  if (std::string data = nonEmptyEnv("XDG_DATA_HOME"); !data.empty()) return data + "/datewise";
  return nonEmptyEnv("HOME") + "/.local/share/datewise";
}

std::unique_ptr<CalendarStore> openIcsCalendarStore(std::string directory) {
  try {
    return std::make_unique<IcsCalendarStore>(std::move(directory));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace calendar
