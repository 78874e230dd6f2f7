// The change key of many files at once. Looking at every file of a store on
// every query is what keeps the index exact, and those checks are most of what
// a query costs, so they are shared among a few threads: the kernel resolves
// paths in parallel. (An io_uring ring was tried and measured slower: the
// kernel hands each statx of a ring to a worker thread, one at a time.)
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace calendar {

// What tells one version of a file from another. The change time moves on
// every write, rename, link and mode change, and cannot be set back by a
// program, so a file modified and given its old modification time again still
// differs.
struct FileKey {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  bool operator==(const FileKey&) const = default;
};

struct FileStat {
  bool found = false;    // the path names something (symbolic links followed)
  bool regular = false;  // ... and it is a regular file
  FileKey key;
};

// A file named relative to an open directory (or AT_FDCWD).
struct StatRequest {
  int directory;
  const char* name;
};

// One per core, up to four.
unsigned defaultStatThreads();

// One result per request, in order, looked up by at most `threads` threads
// (the caller's among them).
std::vector<FileStat> statAll(const std::vector<StatRequest>& requests, unsigned threads);

// One request's answer, on the calling thread.
FileStat statAt(int directory, const char* name);

// The key of an open file, for the bytes read from it.
FileStat statOpen(int fd);

}  // namespace calendar
