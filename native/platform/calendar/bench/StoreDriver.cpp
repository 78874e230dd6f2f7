// Lists one window of a store and prints how many occurrences it holds and
// the peak resident memory: the stand-in for datewise in the benchmark.
//   calendar_store_bench STORE FROM_MS TO_MS
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "calendar/IcsCalendarStore.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: calendar_store_bench STORE FROM_MS TO_MS\n");
    return 1;
  }
  auto store = calendar::openIcsCalendarStore(argv[1]);
  const double from = std::strtod(argv[2], nullptr) / 1000.0;
  const double to = std::strtod(argv[3], nullptr) / 1000.0;
  const auto events = store->eventsMatching(store->predicateForEvents(from, to));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("events %zu maxrss_kb %ld\n", events.size(), usage.ru_maxrss);
  return 0;
}
