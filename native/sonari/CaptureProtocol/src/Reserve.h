// Growing the library's big byte buffers.
#pragma once

#include <CaptureProtocol/Bytes.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace capture::detail {

// Reserves room for `capacity` bytes in `bytes`. A large buffer is fresh
// memory from the kernel, and filling it page by page costs a fault per
// 4 KiB page, which dominates the cost of a multi-megabyte frame or line;
// asking for transparent huge pages on its interior cuts those faults by a
// factor of 512 where the kernel grants them. The advice is only advice:
// when it is refused nothing changes. May throw std::bad_alloc.
inline void adviseHugePages(const Bytes& bytes) {
  constexpr std::uintptr_t hugePage = std::uintptr_t{2} << 20;
  if (bytes.capacity() < 2 * hugePage) return;
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (start + hugePage - 1) & ~(hugePage - 1);
  const std::uintptr_t last = (start + bytes.capacity()) & ~(hugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Prefaults, in one system call per megabyte, the pages that the next `more`
// bytes appended to `bytes` will land on. Where huge pages are refused (a
// fragmented machine, or a kernel set against them), filling fresh memory
// otherwise costs a trap per 4 KiB page, which outweighs the copy several
// times over. Only windows that the new bytes reach and that no earlier
// append began are touched, so at most a megabyte is committed ahead of the
// bytes that have arrived; small buffers are left alone.
inline void prefaultAhead(const Bytes& bytes, std::size_t more) {
  constexpr std::size_t window = std::size_t{1} << 20;
  if (bytes.capacity() < 2 * window || more == 0) return;
  const auto base = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t from = base + bytes.size();
  const std::uintptr_t to = std::min(from + more, base + bytes.capacity());
  // The window that holds the first new byte was begun by an earlier append
  // unless that byte starts it.
  std::uintptr_t first = (from + window - 1) & ~(window - 1);
  const std::uintptr_t last = (to + window - 1) & ~(window - 1);
  if (first >= last) return;
  const std::uintptr_t end = std::min(last, (base + bytes.capacity()) & ~(std::uintptr_t{4095}));
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

inline void reserveBytes(Bytes& bytes, std::size_t capacity) {
  if (capacity <= bytes.capacity()) return;
  // The advice must come before the first byte lands, so a buffer that holds
  // bytes already moves by hand: reserve the new room empty, advise, copy.
  Bytes larger;
  larger.reserve(capacity);
  adviseHugePages(larger);
  prefaultAhead(larger, bytes.size());
  larger.insert(larger.end(), bytes.begin(), bytes.end());
  bytes.swap(larger);
}

// Makes room for `more` bytes at the end of `bytes`, growing geometrically
// so that a buffer filled in small pieces is copied a bounded number of times.
inline void reserveMore(Bytes& bytes, std::size_t more) {
  if (bytes.capacity() - bytes.size() >= more) return;
  std::size_t capacity = std::max(bytes.size() + more, 2 * bytes.capacity());
  reserveBytes(bytes, std::max<std::size_t>(capacity, 256));
}

}  // namespace capture::detail
