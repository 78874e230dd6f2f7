// A store directory in a fresh temporary folder, written by the test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "calendar/IcsCalendarStore.h"

namespace calendar {

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/calendar-store-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    root_ = path;
    // The store's index goes beside the store, not into the user's cache.
    setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  // Writes `text` to `path` below the store, creating the folders on the way.
  void write(const std::string& path, const std::string& text) {
    makeParents(path);
    std::ofstream(root_ + "/" + path, std::ios::binary) << text;
  }
  void link(const std::string& target, const std::string& path) {
    makeParents(path);
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + path).c_str()), 0) << path;
  }
  std::string read(const std::string& path) {
    std::ifstream in(root_ + "/" + path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<Event> query(double start, double end) {
    auto store = openIcsCalendarStore(root_);
    return store->eventsMatching(store->predicateForEvents(start, end));
  }

  const std::string& root() const { return root_; }

 private:
  void makeParents(const std::string& path) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir((root_ + "/" + path.substr(0, slash)).c_str(), 0755);
    }
  }

  std::string root_;
};

// A calendar file around `body`, with CRLF line ends as producers write them.
inline std::string ics(const std::string& body) {
  std::string text =
      "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//EN\n" + body + "END:VCALENDAR\n";
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

inline std::string vevent(const std::string& lines) {
  return "BEGIN:VEVENT\n" + lines + "END:VEVENT\n";
}

// Seconds since 1970 of "YYYYMMDDTHHMMSS" read as UTC.
inline double utc(const char* text) {
  std::tm tm{};
  std::sscanf(text, "%4d%2d%2dT%2d%2d%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
              &tm.tm_min, &tm.tm_sec);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<double>(timegm(&tm));
}

}  // namespace calendar
