#include <CaptureProtocol/LineReader.h>

#include "Reserve.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace capture {

std::vector<Bytes> LineReader::feed(std::span<const std::uint8_t> data) {
  std::vector<Bytes> lines;
  const std::uint8_t* cursor = data.data();
  const std::uint8_t* const end = cursor + data.size();
  while (cursor != end) {
    const auto* feed = static_cast<const std::uint8_t*>(
        std::memchr(cursor, 0x0A, static_cast<std::size_t>(end - cursor)));
    // Out of memory, the line in hand is dropped whole, up to its 0x0A, so
    // that no truncated line is ever handed out.
    try {
      if (feed == nullptr) {
        if (!skipping_) {
          detail::reserveMore(tail_, static_cast<std::size_t>(end - cursor));
          detail::prefaultAhead(tail_, static_cast<std::size_t>(end - cursor));
          tail_.insert(tail_.end(), cursor, end);
        }
        break;
      }
      if (skipping_) {
        skipping_ = false;
      } else if (tail_.empty()) {
        if (feed != cursor) lines.emplace_back(cursor, feed);
      } else {
        // The tail joins the line it starts; it was searched when it arrived.
        detail::reserveMore(tail_, static_cast<std::size_t>(feed - cursor));
        detail::prefaultAhead(tail_, static_cast<std::size_t>(feed - cursor));
        tail_.insert(tail_.end(), cursor, feed);
        lines.push_back(std::move(tail_));
        tail_ = Bytes();
      }
    } catch (const std::bad_alloc&) {
      tail_ = Bytes();
      skipping_ = feed == nullptr;
      if (feed == nullptr) break;
    }
    cursor = feed + 1;
  }
  return lines;
}

std::optional<nlohmann::json> LineReader::object(std::span<const std::uint8_t> line) {
  // The parser stops at a 0x00 byte and would accept what came before it;
  // JSON text never holds one, so such a line is not JSON.
  if (line.empty() || std::memchr(line.data(), 0x00, line.size()) != nullptr) return std::nullopt;
  // Only an object is wanted: anything else is turned away before it is
  // parsed (a deeply nested array costs nothing).
  std::size_t first = 0;
  while (first < line.size() && (line[first] == ' ' || line[first] == '\t' || line[first] == '\n' ||
                                 line[first] == '\r')) {
    ++first;
  }
  if (first == line.size() || line[first] != '{') return std::nullopt;
  try {
    nlohmann::json value = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace capture
