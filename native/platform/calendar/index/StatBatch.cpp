#include "calendar/index/StatBatch.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace calendar {

namespace {

constexpr unsigned kRingEntries = 256;

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

void statOneByOne(const std::vector<StatRequest>& paths, std::size_t from,
                  std::vector<FileStat>& out) {
  for (std::size_t i = from; i < paths.size(); ++i) {
    struct statx sx {};
    if (statx(paths[i].directory, paths[i].name, 0, kMask, &sx) == 0) out[i] = fromStatx(sx);
  }
}

// Fills `out` through a ring; returns how many leading paths it handled
// (all of them unless the ring failed part way).
std::size_t statByRing(const std::vector<StatRequest>& paths, std::vector<FileStat>& out) {
  io_uring ring{};
  if (io_uring_queue_init(kRingEntries, &ring, 0) < 0) return 0;
  // Leaked when the ring fails with requests in flight: the kernel may still
  // write to them.
  auto* buffers = new struct statx[kRingEntries];
  std::size_t done = 0;
  bool failed = false;
  while (done < paths.size() && !failed) {
    const std::size_t batch = std::min<std::size_t>(paths.size() - done, kRingEntries);
    for (std::size_t i = 0; i < batch; ++i) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring);
      io_uring_prep_statx(sqe, paths[done + i].directory, paths[done + i].name, 0, kMask,
                          &buffers[i]);
      io_uring_sqe_set_data64(sqe, i);
    }
    if (io_uring_submit(&ring) != static_cast<int>(batch)) {
      failed = true;
      break;
    }
    for (std::size_t seen = 0; seen < batch;) {
      io_uring_cqe* cqe = nullptr;
      const int rc = io_uring_wait_cqe(&ring, &cqe);
      if (rc == -EINTR) continue;
      if (rc < 0) {
        failed = true;
        break;
      }
      const std::size_t i = io_uring_cqe_get_data64(cqe);
      if (cqe->res == 0) out[done + i] = fromStatx(buffers[i]);
      io_uring_cqe_seen(&ring, cqe);
      ++seen;
    }
    done += batch;
  }
  io_uring_queue_exit(&ring);
  if (!failed) delete[] buffers;
  return failed ? done : paths.size();
}

}  // namespace

std::vector<FileStat> statAll(const std::vector<StatRequest>& paths, bool useRing) {
  std::vector<FileStat> out(paths.size());
  const std::size_t handled = useRing && paths.size() > 16 ? statByRing(paths, out) : 0;
  statOneByOne(paths, handled, out);
  return out;
}

FileStat statOpen(int fd) {
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, kMask, &sx) != 0) return {};
  return fromStatx(sx);
}

}  // namespace calendar
