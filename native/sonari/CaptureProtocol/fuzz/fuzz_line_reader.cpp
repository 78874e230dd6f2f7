// The input, fed whole, one byte at a time and in random chunks, must give
// the lines and the unterminated tail that splitting it at every 0x0A gives.
// Every line's object, when there is one, must survive being written and read
// back.
#include <CaptureProtocol/LineReader.h>

#include <common/JsonText.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using capture::Bytes;

struct Lines {
  std::vector<Bytes> lines;
  std::size_t pending = 0;
  bool operator==(const Lines&) const = default;
};

Lines reference(std::span<const std::uint8_t> stream) {
  Lines out;
  Bytes line;
  for (std::uint8_t b : stream) {
    if (b != 0x0A) {
      line.push_back(b);
    } else if (!line.empty()) {
      out.lines.push_back(std::move(line));
      line.clear();
    }
  }
  out.pending = line.size();
  return out;
}

Lines feed(std::span<const std::uint8_t> stream, std::uint64_t seed, std::size_t maxChunk) {
  capture::LineReader reader;
  Lines out;
  std::uint64_t state = seed | 1;
  std::size_t at = 0;
  while (at < stream.size()) {
    std::size_t size = stream.size();
    if (maxChunk > 0) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      size = static_cast<std::size_t>(state % (maxChunk + 1));
    }
    size = std::min(size, stream.size() - at);
    for (Bytes& line : reader.feed(stream.subspan(at, size))) out.lines.push_back(std::move(line));
    at += size;
  }
  out.pending = reader.pendingBytes();
  return out;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> stream(data, size);
  std::uint64_t seed = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 8); ++i) seed = (seed << 8) | data[i];
  const Lines expected = reference(stream);
  check(feed(stream, seed, 0) == expected, "whole");
  check(feed(stream, seed, 16) == expected, "random chunks");
  if (size <= 512) check(feed(stream, 0, 1) == expected, "bytes one by one");

  for (const Bytes& line : expected.lines) {
    const std::optional<nlohmann::json> object = capture::LineReader::object(line);
    if (!object) continue;
    check(object->is_object(), "object is an object");
    const std::optional<std::string> text = common::jsonText(*object);
    check(text.has_value(), "a parsed object can be written");
    const auto again = capture::LineReader::object(
        std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    check(again == object, "written object reads back the same");
  }
  // Whatever the bytes, object neither crashes nor accepts a 0x00 byte.
  if (size > 0 && std::memchr(data, 0, size) != nullptr) {
    check(!capture::LineReader::object(stream), "0x00 rejected");
  }
  return 0;
}
