// Builds a recurrence rule, a start and a window from the input bytes.
// Oracle: whenever the rule stepper takes a rule, it gives exactly the
// occurrences the library's own iterator gives stepping from the start.
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
  static const char* const kFreqs[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  static const char* const kZones[] = {"America/New_York", "Australia/Lord_Howe", "Asia/Kolkata"};
  Bytes in(data, size);
  std::string rule = std::string("FREQ=") + kFreqs[in.pick(4)];
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
  for (const char* part : {"BYDAY", "BYMONTHDAY", "BYMONTH"}) {
    const int n = in.pick(4) == 0 ? 1 + in.pick(5) : 0;
    for (int i = 0; i < n; ++i) {
      rule += i == 0 ? std::string(";") + part + "=" : std::string(",");
      if (part[2] == 'D') {
        if (in.pick(2)) rule += std::to_string(in.pick(11) - 5);
        rule += kDays[in.pick(7)];
      } else if (part[7] == 'D') {
        rule += std::to_string(in.pick(2) ? 1 + in.pick(31) : -1 - in.pick(31));
      } else {
        rule += std::to_string(1 + in.pick(12));
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
  const double lower = 631152000.0 + (in.pick(256) * 256 + in.pick(256)) * 86400.0 / 4;
  const double upper = lower + (in.pick(256) * 8 + in.pick(8)) * 86400.0 / 2;
  const icalrecurrencetype parsed = icalrecurrencetype_from_string(rule.c_str());
  std::vector<calendar::WallInstant> stepped;
  constexpr int kSteps = 100'000;
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
