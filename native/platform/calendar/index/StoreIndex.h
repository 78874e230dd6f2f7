// A persistent index of a calendar store, so that a window query costs what
// its answer costs rather than the whole store.
//
// The index is a cache in SQLite, one database per store directory, under
// $XDG_CACHE_HOME/datewise/ (else $HOME/.cache/datewise/). For every .ics
// file it keeps the file's change key (device, inode, size, modification and
// change time with nanoseconds) and the span of time its events can occupy,
// and once a query has needed them, the file's events as the reader digests
// them (see FileDigest); for every directory of the store, its key and its
// sorted names. Every query looks at every calendar entry, metadata file,
// directory and .ics file of the store, re-reads only what was added, changed
// or removed (in one transaction), and answers from the digests of the files
// whose span meets the window, made by the same reader a full read uses: the
// answer is always exactly the answer of a full read.
//
// It is only a cache. A missing, unreadable, corrupt or older-format index is
// rebuilt; when no index can be had (the cache directory cannot be written,
// another process holds it too long), the query says so and the caller reads
// the store in full. Processes may query the same store at once.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "calendar/CalendarStore.h"
#include "calendar/ZoneCache.h"

namespace calendar {

struct IndexOptions {
  // Where the databases live; empty means defaultIndexDirectory().
  std::string cacheDirectory;
  // A file changed less than this long before it was indexed may change again
  // within the same tick of the file system's clock without its key changing;
  // it is read again on every query until it is older.
  double racySeconds = 3;
  // How many threads check the files for change; 0 means one per core.
  unsigned statThreads = 0;
  // Tests: called inside a refresh after each file's entry has been written.
  std::function<void()> afterWrite;
};

// $XDG_CACHE_HOME/datewise when XDG_CACHE_HOME is an absolute path, else
// $HOME/.cache/datewise; empty when neither can be had.
std::string defaultIndexDirectory();

// Whether DATEWISE_NO_INDEX is set to something other than "" or "0": the
// store is then read in full on every query, without touching the cache.
bool indexBypassed();

// Every occurrence in the store at `storeDirectory` that overlaps
// [start, end), in the order and with the values a full read of the store
// gives, answered through the index (created or refreshed on the way).
// Nothing when the index cannot be used; the caller then reads in full.
// Never throws; writes nothing to standard output or standard error.
std::optional<std::vector<Event>> indexedEvents(const std::string& storeDirectory, double start,
                                                double end, ZoneCache& zones,
                                                const IndexOptions& options = {});

}  // namespace calendar
