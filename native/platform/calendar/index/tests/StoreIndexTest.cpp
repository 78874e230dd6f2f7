#include "calendar/index/StoreIndex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "calendar/IcsCalendarStore.h"

namespace calendar {
namespace {

namespace fs = std::filesystem;

// Every value of every event, so that two answers compare byte for byte.
std::string describe(const std::vector<Event>& events) {
  std::string out;
  char number[64];
  const auto num = [&](std::optional<double> d) {
    if (!d) return std::string("-");
    std::snprintf(number, sizeof number, "%a", *d);
    return std::string(number);
  };
  const auto text = [](const std::optional<std::string>& s) { return s ? "'" + *s + "'" : "-"; };
  const auto person = [&](const Participant& p) {
    return std::to_string(p.participantType) + "/" + std::to_string(p.participantStatus) + "/" +
           (p.isCurrentUser ? "me" : "") + "/" + text(p.name) + "/" + p.url;
  };
  for (const Event& e : events) {
    out += e.calendarItemIdentifier + " " + std::to_string(e.status) + " " + num(e.startDate) +
           " " + num(e.endDate) + " " + (e.isAllDay ? "allday " : "") + text(e.eventIdentifier) +
           " " + text(e.title) + " " + text(e.location) + " " + text(e.notes) + " " + text(e.url);
    if (e.calendar) {
      out += " cal=" + e.calendar->title + "/" + std::to_string(e.calendar->type) + "/" +
             (e.calendar->allowsContentModifications ? "w" : "r");
    }
    if (e.organizer) out += " org=" + person(*e.organizer);
    if (e.attendees) {
      out += " att=";
      for (const Participant& p : *e.attendees) out += person(p) + ";";
    }
    out += "\n";
  }
  return out;
}

const char* const kBerlin =
    "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\n"
    "BEGIN:DAYLIGHT\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\n"
    "DTSTART:19700329T020000\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\nEND:DAYLIGHT\n"
    "BEGIN:STANDARD\nTZOFFSETFROM:+0200\nTZOFFSETTO:+0100\n"
    "DTSTART:19701025T030000\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\nEND:STANDARD\n"
    "END:VTIMEZONE\n";
// The same name defined otherwise: what a changed definition looks like.
const char* const kBerlinMoved =
    "BEGIN:VTIMEZONE\nTZID:Europe/Berlin\n"
    "BEGIN:STANDARD\nTZOFFSETFROM:+0500\nTZOFFSETTO:+0500\n"
    "DTSTART:19700101T000000\nEND:STANDARD\nEND:VTIMEZONE\n";

constexpr double k2025 = 1735689600;  // 2025-01-01T00:00:00Z

class StoreIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/calendar-index-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    top_ = path;
    store_ = top_ + "/store";
    options_.cacheDirectory = top_ + "/cache/datewise";
    // The differential runs check the index's own path, not only the re-read
    // of files just written.
    options_.racySeconds = 0;
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override {
    chmod(options_.cacheDirectory.c_str(), 0700);
    fs::remove_all(top_);
  }

  void write(const std::string& path, const std::string& text) {
    const fs::path p = store_ + "/" + path;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  void remove(const std::string& path) { fs::remove_all(store_ + "/" + path); }

  // The store's own full read, past any index.
  std::string full(double start, double end) {
    setenv("DATEWISE_NO_INDEX", "1", 1);
    auto store = openIcsCalendarStore(store_);
    const std::string answer =
        describe(store->eventsMatching(store->predicateForEvents(start, end)));
    unsetenv("DATEWISE_NO_INDEX");
    return answer;
  }
  std::optional<std::string> indexed(double start, double end) {
    ZoneCache zones;
    const auto events = indexedEvents(store_, start, end, zones, options_);
    if (!events) return std::nullopt;
    return describe(*events);
  }
  // The index answers, and with what a full read gives.
  void expectSame(double start, double end, const std::string& context) {
    const auto answer = indexed(start, end);
    ASSERT_TRUE(answer) << context;
    EXPECT_EQ(*answer, full(start, end)) << context;
  }

  std::string databasePath() {
    for (const auto& entry : fs::directory_iterator(options_.cacheDirectory)) {
      if (entry.path().extension() == ".db") return entry.path();
    }
    return "";
  }

  void smallStore() {
    write("me", "me@example.com\n");
    write("calendars/work/displayname", "Work\n");
    write("calendars/work/a.ics",
          "BEGIN:VCALENDAR\n" + std::string(kBerlin) +
              "BEGIN:VEVENT\nUID:a\nDTSTART;TZID=Europe/Berlin:20250106T100000\n"
              "DTEND;TZID=Europe/Berlin:20250106T110000\nRRULE:FREQ=WEEKLY\nSUMMARY:Weekly\n"
              "ATTENDEE;PARTSTAT=ACCEPTED:mailto:me@example.com\nEND:VEVENT\nEND:VCALENDAR\n");
    write("calendars/work/b.ics",
          "BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:b\nDTSTART:20250108T120000Z\n"
          "DTEND:20250108T130000Z\nSUMMARY:Once\nEND:VEVENT\nEND:VCALENDAR\n");
    write("calendars/home.ics",
          "BEGIN:VCALENDAR\nX-WR-CALNAME:Home\nBEGIN:VEVENT\nUID:c\n"
          "DTSTART;VALUE=DATE:20250107\nSUMMARY:Day off\nEND:VEVENT\nEND:VCALENDAR\n");
  }

  std::string top_;
  std::string store_;
  IndexOptions options_;
};

// ---- differential: random stores, random changes, random windows -----------

class RandomStore {
 public:
  explicit RandomStore(unsigned seed) : rng_(seed) {}

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string when(bool date) {
    const int day = pick(120);
    char text[32];
    const std::time_t t = static_cast<std::time_t>(k2025) + day * 86400 + pick(24) * 3600;
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, date ? "%Y%m%d" : "%Y%m%dT%H%M%S", &tm);
    return text;
  }

  std::string start(bool& date) {
    date = pick(5) == 0;
    if (date) return "DTSTART;VALUE=DATE:" + when(true) + "\n";
    switch (pick(3)) {
      case 0:
        return "DTSTART;TZID=Europe/Berlin:" + when(false) + "\n";
      case 1:
        return "DTSTART:" + when(false) + "Z\n";
      default:
        return "DTSTART:" + when(false) + "\n";
    }
  }

  std::string event(const std::string& uid) {
    bool date = false;
    std::string lines = "BEGIN:VEVENT\nUID:" + uid + "\n" + start(date);
    if (!date && pick(2) == 0) lines += "DURATION:PT" + std::to_string(1 + pick(5)) + "H\n";
    static const char* const rules[] = {"",
                                        "",
                                        "RRULE:FREQ=WEEKLY;COUNT=6\n",
                                        "RRULE:FREQ=DAILY\n",
                                        "RRULE:FREQ=DAILY;INTERVAL=3;UNTIL=20250401T000000Z\n",
                                        "RRULE:FREQ=MONTHLY;BYMONTHDAY=5,20\n"};
    lines += rules[pick(6)];
    if (pick(4) == 0) lines += "RDATE:" + when(false) + "Z\n";
    if (pick(4) == 0) lines += "EXDATE:" + when(false) + "Z\n";
    lines += "SUMMARY:Event " + std::to_string(pick(1000)) + "\n";
    if (pick(3) == 0) lines += "STATUS:CANCELLED\n";
    static const char* const people[] = {"mailto:me@example.com", "mailto:ME@example.com",
                                         "mailto:bob@example.com", "mailto:alt@example.com"};
    for (int i = pick(3); i > 0; --i) {
      lines += "ATTENDEE;CN=P" + std::to_string(i) + ";PARTSTAT=ACCEPTED:" + people[pick(4)] + "\n";
    }
    return lines + "END:VEVENT\n";
  }

  std::string file(bool movedZone = false) {
    std::string text = "BEGIN:VCALENDAR\nVERSION:2.0\n";
    text += movedZone ? kBerlinMoved : kBerlin;
    const std::string uid = "u" + std::to_string(pick(1000000));
    text += event(uid);
    if (pick(3) == 0) {
      // An override of the series, moved somewhere in the first months.
      bool date = false;
      text += "BEGIN:VEVENT\nUID:" + uid + "\nRECURRENCE-ID:" + when(false) + "Z\n" + start(date) +
              "SUMMARY:Moved\nEND:VEVENT\n";
    }
    if (pick(4) == 0) text += event("other" + std::to_string(pick(100)));
    return text + "END:VCALENDAR\n";
  }

  std::pair<double, double> window() {
    const double start = k2025 - 20 * 86400 + pick(160) * 86400.0 + pick(86400);
    const double lengths[] = {3600, 86400, 7 * 86400.0, 40 * 86400.0, 400 * 86400.0};
    return {start, start + lengths[pick(5)]};
  }

 private:
  std::mt19937 rng_;
};

const char* const kCollections[] = {"real/work", "calendars/account/one", "calendars/account/two",
                                    "calendars/plain"};

// CALENDAR_INDEX_SEEDS=N runs N seeds (a longer search than the default one).
TEST_F(StoreIndexTest, AnswersAsAFullReadDoesThroughRandomChanges) {
  const char* seeds = std::getenv("CALENDAR_INDEX_SEEDS");
  const unsigned last = seeds != nullptr ? static_cast<unsigned>(std::atoi(seeds)) : 1;
  for (unsigned seed = 1; seed <= last; ++seed) {
    TearDown();
    SetUp();
    RandomStore random(seed);
    std::vector<std::string> files;
    const auto addFile = [&] {
      const std::string path = std::string(kCollections[random.pick(4)]) + "/f" +
                               std::to_string(random.pick(100000)) + ".ics";
      write(path, random.file());
      files.push_back(path);
    };
    write("me", "me@example.com\n");
    fs::create_directories(store_ + "/calendars");
    fs::create_symlink("../real/work", store_ + "/calendars/work");
    write("real/work/displayname", "Work\n");
    write("calendars/plain/kind", "caldav\n");
    write("calendars/file.ics",
          "BEGIN:VCALENDAR\nX-WR-CALNAME:Named\n" + random.event("cf") + "END:VCALENDAR\n");
    for (int i = 0; i < 12; ++i) addFile();
    // Names that are not UTF-8, for a calendar's title and an identifier.
    write("calendars/caf\xe9/\xff.ics", random.file());
    files.push_back("calendars/caf\xe9/\xff.ics");

    for (int step = 0; step < 30; ++step) {
      std::string change;
      const int what = random.pick(12);
      const std::size_t victim = files.empty() ? 0 : random.pick(static_cast<int>(files.size()));
      if (what == 0 || files.empty()) {
        change = "added";
        addFile();
      } else if (what == 1) {
        change = "modified in place " + files[victim];
        std::string text = random.file();
        std::fstream f(store_ + "/" + files[victim], std::ios::in | std::ios::out);
        f << text;  // over the old bytes: the size may stay, the inode does
      } else if (what == 2) {
        change = "replaced by rename " + files[victim];
        write(files[victim] + ".tmp", random.file());
        fs::rename(store_ + "/" + files[victim] + ".tmp", store_ + "/" + files[victim]);
      } else if (what == 3) {
        change = "deleted " + files[victim];
        remove(files[victim]);
        files.erase(files.begin() + static_cast<long>(victim));
      } else if (what == 4) {
        change = "touched " + files[victim];
        utimensat(AT_FDCWD, (store_ + "/" + files[victim]).c_str(), nullptr, 0);
      } else if (what == 5) {
        change = "zone redefined " + files[victim];
        write(files[victim], random.file(true));
      } else if (what == 6) {
        change = "displayname";
        write("real/work/displayname", "Work " + std::to_string(step) + "\n");
      } else if (what == 7) {
        change = "kind";
        write("calendars/plain/kind", random.pick(2) ? "exchange\n" : "7\n");
      } else if (what == 8) {
        change = "read-only";
        if (fs::exists(store_ + "/calendars/plain/read-only")) {
          remove("calendars/plain/read-only");
        } else {
          write("calendars/plain/read-only", "");
        }
      } else if (what == 9) {
        change = "link";
        if (fs::is_symlink(store_ + "/calendars/work")) {
          fs::remove(store_ + "/calendars/work");
        } else {
          fs::create_symlink("../real/work", store_ + "/calendars/work");
        }
      } else if (what == 10) {
        change = "me";
        write("me", random.pick(2) ? "alt@example.com\nme@example.com\n" : "# nobody\n");
      } else {
        change = "zone of the process";
        static const char* const zones[] = {"Europe/Berlin", "America/New_York", "UTC",
                                            "Pacific/Kiritimati"};
        setenv("TZ", zones[random.pick(4)], 1);
        tzset();
      }
      for (int w = 0; w < 3; ++w) {
        const auto [start, end] = random.window();
        expectSame(start, end,
                   "seed " + std::to_string(seed) + " step " + std::to_string(step) + " after " +
                       change + " window " + std::to_string(start) + "+" +
                       std::to_string(end - start));
        if (HasFailure()) return;
      }
    }
  }
}

// ---- faults -------------------------------------------------------------------

// A damage done by one SQL statement on the database at `db`.
std::function<void(const std::string& db)> sql(const char* statement) {
  return [statement](const std::string& db) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, statement, nullptr, nullptr, nullptr);
    sqlite3_close(h);
  };
}

TEST_F(StoreIndexTest, DamagedIndexIsRebuiltAndTheAnswerStaysRight) {
  const struct {
    const char* name;
    std::function<void(const std::string& db)> damage;
  } cases[] = {
      {"garbage header",
       [](const std::string& db) {
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         f << "this is not a database at all";
       }},
      {"pages overwritten",
       [](const std::string& db) {
         std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(4096);
         f << std::string(8192, '\x5a');
       }},
      {"truncated to a page", [](const std::string& db) { fs::resize_file(db, 4096); }},
      {"truncated to nothing", [](const std::string& db) { fs::resize_file(db, 0); }},
      {"the list of files altered",
       sql("UPDATE manifest SET data = substr(data, 1, 60) || x'00' || "
           "substr(data, 62)")},
      {"the list of files gone", sql("DELETE FROM manifest")},
      {"a kept file digest altered",
       sql("UPDATE digest SET data = substr(data, 1, 50) || x'7f' || substr(data, 52)")},
      {"file digests swapped",
       sql("UPDATE digest SET data = (SELECT d.data FROM digest d WHERE d.id != "
           "digest.id LIMIT 1)")},
      {"older format", sql("PRAGMA user_version = 999")},
      {"another store's index", sql("UPDATE meta SET value = '/elsewhere'")},
  };
  smallStore();
  const double start = k2025, end = k2025 + 14 * 86400;
  for (const auto& c : cases) {
    expectSame(start, end, std::string("before ") + c.name);
    const std::string db = databasePath();
    ASSERT_FALSE(db.empty());
    c.damage(db);
    // The damaged run may answer from a full read; the next one is indexed.
    const auto first = indexed(start, end);
    if (first) {
      EXPECT_EQ(*first, full(start, end)) << c.name;
    }
    expectSame(start, end, std::string("after ") + c.name);
  }
}

TEST_F(StoreIndexTest, UnwritableCacheMeansAFullRead) {
  smallStore();
  write("blocker", "a file where a directory should be");
  options_.cacheDirectory = store_ + "/blocker/datewise";
  EXPECT_FALSE(indexed(k2025, k2025 + 86400 * 7));
  if (geteuid() != 0) {
    // Permissions bind only those who are not root.
    options_.cacheDirectory = top_ + "/cache/datewise";
    expectSame(k2025, k2025 + 7 * 86400, "writable");
    chmod(options_.cacheDirectory.c_str(), 0500);
    write("calendars/work/c.ics", "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
    const auto answer = indexed(k2025, k2025 + 7 * 86400);
    if (answer) {
      EXPECT_EQ(*answer, full(k2025, k2025 + 7 * 86400));
    }
  }
}

TEST_F(StoreIndexTest, CacheIsPrivateToTheUser) {
  smallStore();
  expectSame(k2025, k2025 + 7 * 86400, "first");
  struct stat st {};
  ASSERT_EQ(stat(options_.cacheDirectory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((top_ + "/cache").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& entry : fs::directory_iterator(options_.cacheDirectory)) {
    ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
  }
}

// Runs `body` in a child process and returns how the child ended.
int inChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST_F(StoreIndexTest, RunKilledDuringARefreshLeavesAUsableIndex) {
  smallStore();
  for (int i = 0; i < 20; ++i) {
    write("calendars/work/n" + std::to_string(i) + ".ics",
          "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20250109T0" + std::to_string(i % 10) +
              "0000Z\nSUMMARY:n\nEND:VEVENT\nEND:VCALENDAR\n");
  }
  for (const int killAfter : {1, 10, 24}) {
    // Every file looks changed: the refresh rewrites them all.
    for (const auto& entry : fs::recursive_directory_iterator(store_ + "/calendars")) {
      utimensat(AT_FDCWD, entry.path().c_str(), nullptr, 0);
    }
    const int status = inChild([&] {
      int writes = 0;
      options_.afterWrite = [&] {
        if (++writes == killAfter) raise(SIGKILL);
      };
      indexed(k2025, k2025 + 14 * 86400);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << killAfter;
    expectSame(k2025, k2025 + 14 * 86400, "killed after " + std::to_string(killAfter));
    write("calendars/work/n3.ics", "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
  }
}

TEST_F(StoreIndexTest, RunsAtOnceEachAnswerRight) {
  smallStore();
  for (int i = 0; i < 40; ++i) {
    write("calendars/work/m" + std::to_string(i) + ".ics",
          "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20250110T1" + std::to_string(i % 10) +
              "0000Z\nSUMMARY:m" + std::to_string(i) + "\nEND:VEVENT\nEND:VCALENDAR\n");
  }
  const double start = k2025, end = k2025 + 14 * 86400;
  for (int round = 0; round < 3; ++round) {
    write("calendars/work/m" + std::to_string(round) + ".ics",
          "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20250111T100000Z\nSUMMARY:changed\n"
          "END:VEVENT\nEND:VCALENDAR\n");
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
      const pid_t pid = fork();
      if (pid == 0) {
        const auto answer = indexed(start, end);
        std::ofstream(top_ + "/answer" + std::to_string(c)) << (answer ? *answer : "none");
        _exit(0);
      }
      children.push_back(pid);
    }
    for (const pid_t pid : children) waitpid(pid, nullptr, 0);
    const std::string expected = full(start, end);
    for (int c = 0; c < 4; ++c) {
      std::ifstream in(top_ + "/answer" + std::to_string(c));
      const std::string answer(std::istreambuf_iterator<char>(in), {});
      // A run that found the index busy for too long answers "none" and the
      // caller reads in full; every answer given is right.
      if (answer != "none") {
        EXPECT_EQ(answer, expected) << "round " << round << " child " << c;
      }
    }
    expectSame(start, end, "after round " + std::to_string(round));
  }
}

TEST_F(StoreIndexTest, FileChangedWithinTheClockTickIsReadAgain) {
  options_.racySeconds = 3;
  write("calendars/work/a.ics",
        "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20250110T100000Z\nSUMMARY:AAAA\n"
        "END:VEVENT\nEND:VCALENDAR\n");
  expectSame(k2025, k2025 + 30 * 86400, "first");
  // Same size, same inode, and a modification time set back to the old one.
  const std::string path = store_ + "/calendars/work/a.ics";
  struct stat before {};
  stat(path.c_str(), &before);
  {
    std::fstream f(path, std::ios::in | std::ios::out);
    f << "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20250110T100000Z\nSUMMARY:BBBB\n";
  }
  const timespec times[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
  expectSame(k2025, k2025 + 30 * 86400, "same size, old time");
}

TEST_F(StoreIndexTest, StoreQueriesGoThroughTheIndexUnlessBypassed) {
  smallStore();
  const std::string cache = top_ + "/xdg";
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  const double start = k2025, end = k2025 + 14 * 86400;
  auto store = openIcsCalendarStore(store_);
  // Only the window query touches the cache.
  store->authorizationStatus();
  EXPECT_FALSE(fs::exists(cache));
  EXPECT_EQ(describe(store->eventsMatching(store->predicateForEvents(start, end))),
            full(start, end));
  EXPECT_TRUE(fs::exists(cache + "/datewise"));
  fs::remove_all(cache);
  setenv("DATEWISE_NO_INDEX", "1", 1);
  const std::string bypassed =
      describe(store->eventsMatching(store->predicateForEvents(start, end)));
  EXPECT_FALSE(fs::exists(cache));
  EXPECT_EQ(bypassed, full(start, end));
  unsetenv("DATEWISE_NO_INDEX");
  unsetenv("XDG_CACHE_HOME");
}

TEST(IndexSwitch, BypassedByTheEnvironment) {
  const struct {
    const char* value;
    bool bypassed;
  } cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      unsetenv("DATEWISE_NO_INDEX");
    } else {
      setenv("DATEWISE_NO_INDEX", c.value, 1);
    }
    EXPECT_EQ(indexBypassed(), c.bypassed) << (c.value ? c.value : "unset");
  }
  unsetenv("DATEWISE_NO_INDEX");
}

TEST(IndexLocation, FollowsTheCacheConventions) {
  const struct {
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {{"/x/cache", "/h", "/x/cache/datewise"},
               {"", "/h", "/h/.cache/datewise"},
               {"relative", "/h", "/h/.cache/datewise"},
               {nullptr, nullptr, ""}};
  const std::string oldHome = getenv("HOME") ? getenv("HOME") : "";
  for (const auto& c : cases) {
    c.xdg ? setenv("XDG_CACHE_HOME", c.xdg, 1) : unsetenv("XDG_CACHE_HOME");
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(defaultIndexDirectory(), c.expected) << (c.xdg ? c.xdg : "unset");
  }
  setenv("HOME", oldHome.c_str(), 1);
  unsetenv("XDG_CACHE_HOME");
}

}  // namespace
}  // namespace calendar
