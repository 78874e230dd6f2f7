// Lists one window of a store through the index (or, with DATEWISE_NO_INDEX
// set, by a full read) and prints how many occurrences it found: the
// stand-in for datewise in the index benchmark.
//   calendar_index_bench STORE FROM_MS TO_MS
#include <cstdio>
#include <cstdlib>

#include "calendar/IcsCalendarStore.h"
#include "calendar/index/StoreIndex.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: calendar_index_bench STORE FROM_MS TO_MS\n");
    return 1;
  }
  const double from = std::strtod(argv[2], nullptr) / 1000.0;
  const double to = std::strtod(argv[3], nullptr) / 1000.0;
  std::size_t count = 0;
  if (!calendar::indexBypassed()) {
    static auto& zones = *new calendar::ZoneCache();
    calendar::IndexOptions options;
    // The checks on the calling thread alone, to compare.
    if (std::getenv("INDEX_BENCH_PLAIN_STAT") != nullptr) options.statThreads = 1;
    if (const auto events = calendar::indexedEvents(argv[1], from, to, zones, options)) {
      std::printf("events %zu indexed\n", events->size());
      return 0;
    }
  }
  auto store = calendar::openIcsCalendarStore(argv[1]);
  count = store->eventsMatching(store->predicateForEvents(from, to)).size();
  std::printf("events %zu full\n", count);
  return 0;
}
