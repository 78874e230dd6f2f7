#include "calendar/RuleStepper.h"

#include <gtest/gtest.h>

#include <random>

#include "RuleReference.h"

namespace calendar {
namespace {

constexpr int kSteps = 1'000'000;

double utc(const char* text) { return instantOf(icaltime_from_string(text), Zone{nullptr, true}); }

struct Case {
  const char* rule;
  const char* start;
  bool handled;
};

// Rules from calendars as they are, and the corners of month and year
// lengths, week starts and positions.
const Case kCases[] = {
    {"FREQ=DAILY", "20250101T090000", true},
    {"FREQ=DAILY;INTERVAL=3;COUNT=10", "20250227T090000", true},
    {"FREQ=WEEKLY", "20250106T100000", true},
    {"FREQ=WEEKLY;BYDAY=MO,WE,FR;UNTIL=20250301T100000", "20250106T100000", true},
    {"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,SU;WKST=SU", "20250105T100000", true},
    {"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,SU;WKST=MO", "20250105T100000", true},
    {"FREQ=WEEKLY;COUNT=5;BYDAY=TU,TH", "20250107", true},
    {"FREQ=MONTHLY", "20250131T120000", true},
    {"FREQ=MONTHLY;BYMONTHDAY=-1", "20250131T120000", true},
    {"FREQ=MONTHLY;BYMONTHDAY=1,15,-3", "20250101T080000", true},
    {"FREQ=MONTHLY;BYMONTHDAY=1,15,28;COUNT=20", "20250101T080000", true},
    {"FREQ=MONTHLY;BYDAY=-1FR", "20250131T150000", true},
    {"FREQ=MONTHLY;INTERVAL=2;BYDAY=1MO,3MO", "20250106T150000", true},
    {"FREQ=MONTHLY;BYDAY=5TH", "20250130T150000", true},
    {"FREQ=YEARLY", "20240229", true},
    {"FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU", "20250330T020000", true},
    {"FREQ=YEARLY;BYMONTH=1,7;BYMONTHDAY=31", "20250131T000000", true},
    {"FREQ=YEARLY;UNTIL=20300101", "20250614", true},
    {"FREQ=WEEKLY;UNTIL=20250120T095959", "20250106T100000", true},
    // Left to the library.
    {"FREQ=WEEKLY;BYDAY=TU", "20250106T100000", false},  // DTSTART off the rule
    {"FREQ=MONTHLY;BYDAY=MO;BYSETPOS=-1", "20250127T100000", false},
    {"FREQ=YEARLY;BYDAY=20MO", "20250519T100000", false},
    {"FREQ=MONTHLY;BYMONTH=3", "20250301T100000", false},
    {"FREQ=YEARLY", "20251450", false},  // a date the library reads but that does not exist
    // A day named twice counts twice towards COUNT.
    {"FREQ=MONTHLY;BYMONTHDAY=1,-31;COUNT=20", "20250101T080000", false},
    {"FREQ=MONTHLY;BYDAY=MO,1MO;COUNT=6", "20250106T080000", false},
};

TEST(RuleStepper, StepsAsTheLibraryDoes) {
  const double windows[][2] = {{utc("20250101T000000"), utc("20290101T000000")},
                               {utc("20270301T000000"), utc("20270315T000000")},
                               {utc("20200101T000000"), utc("20250110T000000")}};
  for (const Case& c : kCases) {
    const icalrecurrencetype rule = icalrecurrencetype_from_string(c.rule);
    const icaltimetype start = icaltime_from_string(c.start);
    for (const auto& w : windows) {
      std::vector<WallInstant> stepped;
      const bool handled = stepRule(rule, start, Zone{nullptr, true}, w[0], w[1], kSteps, stepped);
      EXPECT_EQ(handled, c.handled) << c.rule;
      if (!handled) {
        EXPECT_TRUE(stepped.empty()) << c.rule;
        continue;
      }
      EXPECT_EQ(describeOccurrences(stepped),
                describeOccurrences(
                    libraryOccurrences(rule, start, Zone{nullptr, true}, w[0], w[1], kSteps)))
          << c.rule << " from " << c.start;
    }
  }
}

// Sub-daily rules, over windows the library can step to from the start.
TEST(RuleStepper, StepsSubDailyRulesAsTheLibraryDoes) {
  const char* const rules[] = {
      "FREQ=HOURLY;INTERVAL=5",
      "FREQ=HOURLY;BYHOUR=9,10,11;BYMINUTE=0,30;BYDAY=MO,TU,WE,TH,FR",
      "FREQ=MINUTELY;INTERVAL=15;BYHOUR=9,10;BYMONTHDAY=-1,6",
      "FREQ=SECONDLY;INTERVAL=7;BYMINUTE=0,1,59;COUNT=30",
      "FREQ=HOURLY;UNTIL=20250108T120000",
  };
  const double windows[][2] = {{utc("20250106T000000"), utc("20250113T000000")},
                               {utc("20250120T000000"), utc("20250121T000000")}};
  const icaltimetype start = icaltime_from_string("20250106T090000");
  for (const char* text : rules) {
    const icalrecurrencetype rule = icalrecurrencetype_from_string(text);
    for (const auto& w : windows) {
      std::vector<WallInstant> stepped;
      ASSERT_TRUE(stepRule(rule, start, Zone{nullptr, true}, w[0], w[1], kSteps, stepped));
      EXPECT_EQ(describeOccurrences(stepped),
                describeOccurrences(
                    libraryOccurrences(rule, start, Zone{nullptr, true}, w[0], w[1], kSteps)))
          << text;
    }
  }
}

// Where the library would step for seconds or minutes, or read a rule
// otherwise than RFC 5545, sub-daily rules follow the RFC; those it does not
// define give nothing besides DTSTART, at once.
TEST(RuleStepper, SubDailyRulesOffTheLibrarysPath) {
  const struct {
    const char* rule;
    const char* start;
    std::vector<const char*> occurrences;
  } cases[] = {
      // DTSTART off the rule is an occurrence of its own, and counts.
      {"FREQ=HOURLY;BYHOUR=9", "20250106T080000", {"20250106T090000", "20250107T090000"}},
      {"FREQ=HOURLY;BYHOUR=9;COUNT=2", "20250106T080000", {"20250106T090000"}},
      // An interval of seconds keeps its phase under BYSECOND.
      {"FREQ=SECONDLY;INTERVAL=7;BYSECOND=0,7,14;COUNT=5",
       "20250106T090000",
       {"20250106T090000", "20250106T090007", "20250106T090014", "20250106T090700",
        "20250106T090707"}},
      // A date ends a timed series with its last second.
      {"FREQ=HOURLY;INTERVAL=12;UNTIL=20250107",
       "20250106T000000",
       {"20250106T000000", "20250106T120000", "20250107T000000", "20250107T120000"}},
      // Limits that are never met, from years before the window.
      {"FREQ=HOURLY;BYMONTH=2;BYMONTHDAY=30", "20000101T000000", {}},
      {"FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30", "20000101T000000", {}},
      // Parts the RFC does not give these frequencies, and all-day series.
      {"FREQ=HOURLY;BYDAY=-1SU;BYMONTH=10", "19701025T030000", {}},
      {"FREQ=HOURLY;BYSETPOS=1;BYMINUTE=5,10", "20250106T100500", {}},
      {"FREQ=SECONDLY;BYSECOND=6", "19900101", {}},
  };
  for (const auto& c : cases) {
    std::vector<WallInstant> stepped;
    ASSERT_TRUE(stepRule(icalrecurrencetype_from_string(c.rule), icaltime_from_string(c.start),
                         Zone{nullptr, true}, utc("20250106T000000"), utc("20250108T000000"),
                         kSteps, stepped))
        << c.rule;
    std::string expected;
    for (const char* t : c.occurrences) {
      expected += std::to_string(static_cast<long long>(utc(t))) + "=" + t + " ";
    }
    EXPECT_EQ(describeOccurrences(stepped), expected) << c.rule;
  }
}

// Random rules of every handled shape, in a zone with daylight saving time.
TEST(RuleStepper, RandomRulesMatchTheLibrary) {
  icaltimezone* zone = icaltimezone_get_builtin_timezone("America/New_York");
  ASSERT_NE(zone, nullptr);
  std::mt19937 rng(7);
  const auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  static const char* const kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  static const char* const kFreqs[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  int handled = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string rule = std::string("FREQ=") + kFreqs[pick(4)];
    if (pick(2)) rule += ";INTERVAL=" + std::to_string(1 + pick(4));
    if (pick(3) == 0) rule += ";COUNT=" + std::to_string(1 + pick(40));
    char until[32];
    const bool isDate = pick(4) == 0;
    if (pick(3) == 0) {
      std::snprintf(until, sizeof until,
                    isDate ? ";UNTIL=%04d%02d%02d" : ";UNTIL=%04d%02d%02dT%02d0000", 2025 + pick(4),
                    1 + pick(12), 1 + pick(28), pick(24));
      if (rule.find("COUNT") == std::string::npos) rule += until;
    }
    if (pick(2)) {
      rule += ";BYDAY=";
      for (int n = 1 + pick(3); n > 0; --n) {
        if (pick(2)) rule += std::to_string(pick(11) - 5);
        rule += std::string(kDays[pick(7)]) + (n > 1 ? "," : "");
      }
    } else if (pick(2)) {
      rule += ";BYMONTHDAY=";
      for (int n = 1 + pick(3); n > 0; --n) {
        const int d = 1 + pick(31);
        rule += std::to_string(pick(3) == 0 ? -d : d) + (n > 1 ? "," : "");
      }
    }
    if (pick(3) == 0) rule += ";BYMONTH=" + std::to_string(1 + pick(12));
    if (pick(4) == 0) rule += std::string(";WKST=") + kDays[pick(7)];
    char start[32];
    std::snprintf(start, sizeof start, isDate ? "%04d%02d%02d" : "%04d%02d%02dT%02d%02d00",
                  2024 + pick(3), 1 + pick(12), 1 + pick(31), pick(24), pick(2) * 30);
    icaltimetype first = icaltime_from_string(start);
    if (icaltime_is_null_time(first) ||
        first.day > icaltime_days_in_month(first.month, first.year)) {
      continue;
    }
    const icalrecurrencetype parsed = icalrecurrencetype_from_string(rule.c_str());
    const double lower = utc("20240101T000000") + pick(1500) * 86400.0;
    const double upper = lower + pick(400) * 86400.0;
    std::vector<WallInstant> stepped;
    if (!stepRule(parsed, first, Zone{zone, false}, lower, upper, kSteps, stepped)) continue;
    ++handled;
    ASSERT_EQ(describeOccurrences(stepped),
              describeOccurrences(
                  libraryOccurrences(parsed, first, Zone{zone, false}, lower, upper, kSteps)))
        << rule << " from " << start << " window " << lower << "+" << upper - lower;
  }
  EXPECT_GT(handled, 300);
}

}  // namespace
}  // namespace calendar
