#include "calendar/index/StatBatch.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <thread>

namespace calendar {

namespace {

std::int64_t nanoseconds(const statx_timestamp& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

FileStat fromStatx(const struct statx& sx) {
  FileStat r;
  r.found = true;
  r.regular = S_ISREG(sx.stx_mode);
  r.key.dev = (static_cast<std::uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  r.key.ino = sx.stx_ino;
  r.key.size = static_cast<std::int64_t>(sx.stx_size);
  r.key.mtimeNs = nanoseconds(sx.stx_mtime);
  r.key.ctimeNs = nanoseconds(sx.stx_ctime);
  return r;
}

constexpr unsigned kMask =
    STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;

void statRange(const std::vector<StatRequest>& paths, std::size_t from, std::size_t to,
               std::vector<FileStat>& out) {
  for (std::size_t i = from; i < to; ++i) out[i] = statAt(paths[i].directory, paths[i].name);
}

}  // namespace

std::vector<FileStat> statAll(const std::vector<StatRequest>& paths, unsigned threads) {
  std::vector<FileStat> out(paths.size());
  // Below a few thousand files a thread costs more than it saves.
  constexpr std::size_t kPerThread = 2048;
  const std::size_t useful = std::max<std::size_t>(1, paths.size() / kPerThread);
  const std::size_t parts = std::min<std::size_t>(std::max(threads, 1u), useful);
  const std::size_t slice = (paths.size() + parts - 1) / parts;
  std::vector<std::thread> helpers;
  std::size_t from = slice;  // the calling thread takes the first slice
  try {
    helpers.reserve(parts - 1);
    for (; from < paths.size(); from += slice) {
      const std::size_t to = std::min(paths.size(), from + slice);
      helpers.emplace_back([&paths, &out, from, to] { statRange(paths, from, to, out); });
    }
  } catch (const std::exception&) {
    // No thread to be had: the rest is done here.
  }
  statRange(paths, 0, std::min(paths.size(), slice), out);
  for (std::thread& t : helpers) t.join();
  if (from < paths.size()) statRange(paths, from, paths.size(), out);
  return out;
}

unsigned defaultStatThreads() { return std::clamp(std::thread::hardware_concurrency(), 1u, 4u); }

FileStat statAt(int directory, const char* name) {
  struct statx sx {};
  if (statx(directory, name, 0, kMask, &sx) != 0) return {};
  return fromStatx(sx);
}

FileStat statOpen(int fd) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, kMask, &sx) != 0) return {};
  return fromStatx(sx);
}

}  // namespace calendar
