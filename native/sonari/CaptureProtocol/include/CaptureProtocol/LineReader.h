// LineReader cuts a byte stream that arrives in chunks of any size into lines
// ended by the byte 0x0A, and turns one line into a JSON object. It is the
// input side of the JSON-lines convention: a program owns one reader per input
// stream, feeds it every chunk it reads and parses each returned line.
#pragma once

#include <CaptureProtocol/Bytes.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace capture {

class LineReader {
 public:
  LineReader() = default;

  // Returns the complete, non-empty lines that `data` completed, in stream
  // order, each without its 0x0A and as an independent copy of the bytes as
  // they arrived (no byte is validated, trimmed or converted; 0x0D is an
  // ordinary byte). Empty lines are dropped. Bytes after the last 0x0A stay
  // buffered, without limit, until a 0x0A arrives; nothing ever hands out an
  // unterminated tail. `data` may be empty and is not retained.
  //
  // Cost is linear in the bytes fed, however they are chunked: the buffered
  // tail is never searched twice.
  //
  // Not thread-safe: calls on one reader must not overlap. Never throws:
  // should memory run out, the line being cut is dropped whole, up to its
  // 0x0A, and the lines around it are returned as usual.
  std::vector<Bytes> feed(std::span<const std::uint8_t> data);

  // The JSON object that `line` holds as a whole (white space around it,
  // 0x0D included, is allowed), or nothing when `line` is not valid JSON
  // (invalid UTF-8 included), holds a 0x00 byte anywhere, or its top-level
  // value is not an object. Uses no reader state: any thread may call it.
  // Never throws.
  static std::optional<nlohmann::json> object(std::span<const std::uint8_t> line);

  // The number of bytes received after the last 0x0A, waiting for one.
  std::size_t pendingBytes() const { return tail_.size(); }

 private:
  // Bytes after the last 0x0A seen. It never holds a 0x0A, so a new chunk is
  // the only thing that needs searching.
  Bytes tail_;
  // Set when memory ran out while the tail grew: bytes up to the next 0x0A
  // belong to a dropped line.
  bool skipping_ = false;
};

}  // namespace capture
