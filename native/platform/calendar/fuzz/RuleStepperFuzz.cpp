// Builds a recurrence rule, a start and a window from the input bytes.
// Oracle: whenever the rule stepper takes a rule, it gives exactly the
// occurrences the library's own iterator gives stepping from the start,
// sub-daily rules (which it always takes) included where the library reads
// them as RFC 5545 does.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/RuleReference.h"
#include "calendar/RuleStepper.h"

namespace {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  // A number in [0, n), 0 once the input is used up.
  int pick(int n) {
    if (size_ == 0) return 0;
    const int v = static_cast<int>(data_[0] % n);
    ++data_;
    --size_;
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using calendar::Zone;
  static const bool once = [] {
    setenv("TZ", "Europe/Berlin", 1);
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)once;
  static const char* const kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  static const char* const kFreqs[] = {"DAILY",  "WEEKLY",   "MONTHLY", "YEARLY",
                                       "HOURLY", "MINUTELY", "SECONDLY"};
  static const char* const kZones[] = {"America/New_York", "Australia/Lord_Howe", "Asia/Kolkata"};
  Bytes in(data, size);
  const int freq = in.pick(7);
  std::string rule = std::string("FREQ=") + kFreqs[freq];
  if (in.pick(2)) rule += ";INTERVAL=" + std::to_string(1 + in.pick(12));
  const bool isDate = in.pick(4) == 0;
  char text[48];
  if (const int end = in.pick(3); end == 1) {
    rule += ";COUNT=" + std::to_string(1 + in.pick(200));
  } else if (end == 2) {
    const bool untilDate = in.pick(8) == 0 ? !isDate : isDate;
    std::snprintf(text, sizeof text,
                  untilDate ? ";UNTIL=%04d%02d%02d" : ";UNTIL=%04d%02d%02dT%02d%02d00",
                  2000 + in.pick(40), 1 + in.pick(12), 1 + in.pick(31), in.pick(24), in.pick(60));
    rule += text;
  }
  for (const std::string part :
       {"BYDAY", "BYMONTHDAY", "BYMONTH", "BYHOUR", "BYMINUTE", "BYSECOND"}) {
    // The library steps through every minute or second until a limit is met:
    // limits of finer rules are kept to those it meets within a few thousand
    // steps.
    const bool slow = (freq == 5 && (part == "BYMONTHDAY" || part == "BYMONTH")) ||
                      (freq == 6 && part != "BYMINUTE" && part != "BYSECOND");
    const int n = in.pick(4) == 0 && !slow ? 1 + in.pick(5) : 0;
    int previous = -1;  // hours, minutes and seconds ascending: see below
    for (int i = 0; i < n; ++i) {
      rule += i == 0 ? ";" + part + "=" : std::string(",");
      if (part == "BYDAY") {
        if (in.pick(2)) rule += std::to_string(in.pick(11) - 5);
        rule += kDays[in.pick(7)];
      } else if (part == "BYMONTHDAY") {
        rule += std::to_string(in.pick(2) ? 1 + in.pick(31) : -1 - in.pick(31));
      } else if (part == "BYMONTH") {
        rule += std::to_string(1 + in.pick(12));
      } else {
        // The library starts a sub-daily rule at the first hour, minute or
        // second listed, so lists out of order would only show that.
        const int limit = part == "BYHOUR" ? 24 : 60;
        previous = std::min(limit - 1, previous + 1 + in.pick(limit / 4));
        rule += std::to_string(previous);
      }
    }
  }
  if (in.pick(4) == 0) rule += std::string(";WKST=") + kDays[in.pick(7)];
  std::snprintf(text, sizeof text, isDate ? "%04d%02d%02d" : "%04d%02d%02dT%02d%02d%02d",
                1990 + in.pick(50), 1 + in.pick(12), 1 + in.pick(31), in.pick(24), in.pick(60),
                in.pick(60));
  const icaltimetype start = icaltime_from_string(text);
  if (icaltime_is_null_time(start) || !icaltime_is_valid_time(start) ||
      start.day > icaltime_days_in_month(start.month, start.year)) {
    return 0;
  }
  const int zoneKind = in.pick(3);
  Zone zone{nullptr, zoneKind == 0};
  if (zoneKind == 2) zone.tz = icaltimezone_get_builtin_timezone(kZones[in.pick(3)]);
  // For reading a finding: RULE_FUZZ_VERBOSE=1 prints each case.
  static const bool verbose = std::getenv("RULE_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "rule %s from %s\n", rule.c_str(), text);
  const icalrecurrencetype parsed = icalrecurrencetype_from_string(rule.c_str());
  constexpr int kSteps = 100'000;
  if (freq >= 4) {
    // The library never ends a sub-daily rule over dates that its limits
    // rule out; the store does not step such rules (see the store's tests).
    if (isDate) return 0;
    // Windows within some thousands of steps of the start, so that the
    // library can step from the start; beyond the days that are skipped
    // only for hours and minutes.
    const double unit = freq == 4 ? 3600 : freq == 5 ? 60 : 1;
    const double first = calendar::instantOf(start, Zone{nullptr, true});
    const double skipped = freq < 6 && in.pick(2) ? 5.5 * 86400 : 0;
    const double lower = first + skipped + (in.pick(256) * 8 + in.pick(8)) * unit;
    const double upper = lower + (in.pick(256) + 1) * unit;
    // Compared only where the library reads the rule as RFC 5545 does: for
    // rules that have DTSTART among their own occurrences and either no
    // interval or no limits (it loses the interval's phase under limits, and
    // steps SECONDLY ones with BYSECOND within each minute, not always from
    // DTSTART).
    std::vector<calendar::WallInstant> probe;
    calendar::stepRule(parsed, start, zone, -INFINITY, first, 1, probe);
    if (probe.empty() || icaltime_compare(probe[0].wall, start) != 0) return 0;
    if (parsed.interval > 1 && rule.find(";BY") != std::string::npos) return 0;
    if (freq == 6 && rule.find("BYSECOND") != std::string::npos) return 0;
    if (rule.find("BYMONTHDAY=-") != std::string::npos || rule.find(",-") != std::string::npos) {
      return 0;  // it ends the rule at the first day counted from a month's end
    }
    const auto library = calendar::libraryOccurrences(parsed, start, zone, lower, upper, kSteps);
    if (library.size() >= kSteps) return 0;
    std::vector<calendar::WallInstant> stepped;
    if (!calendar::stepRule(parsed, start, zone, lower, upper, kSteps, stepped)) std::abort();
    const std::string ours = calendar::describeOccurrences(stepped);
    if (ours != calendar::describeOccurrences(library)) {
      std::fprintf(stderr, "rule %s from %s, window %.0f..%.0f\nours %s\nlibrary %s\n",
                   rule.c_str(), text, lower, upper, ours.c_str(),
                   calendar::describeOccurrences(library).c_str());
      std::abort();
    }
    return 0;
  }
  const double lower = 631152000.0 + (in.pick(256) * 256 + in.pick(256)) * 86400.0 / 4;
  const double upper = lower + (in.pick(256) * 8 + in.pick(8)) * 86400.0 / 2;
  std::vector<calendar::WallInstant> stepped;
  if (!calendar::stepRule(parsed, start, zone, lower, upper, kSteps, stepped)) {
    if (!stepped.empty()) std::abort();
    return 0;
  }
  const std::string ours = calendar::describeOccurrences(stepped);
  const std::string library = calendar::describeOccurrences(
      calendar::libraryOccurrences(parsed, start, zone, lower, upper, kSteps));
  if (ours != library) {
    std::fprintf(stderr, "rule %s from %s, window %.0f..%.0f\nstepper %s\nlibrary %s\n",
                 rule.c_str(), text, lower, upper, ours.c_str(), library.c_str());
    std::abort();
  }
  return 0;
}
