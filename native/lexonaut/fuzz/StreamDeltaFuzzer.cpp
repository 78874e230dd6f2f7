// Snapshots of any bytes, separated by 0x00, through the streaming delta
// rule: no delta is empty, each is a suffix of its snapshot, and when every
// snapshot extends the one before, the deltas add up to the last one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "StreamDelta.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string sent;
  std::string joined;
  std::string previous;
  bool extending = true;
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = std::min(input.find('\0', start), input.size());
    std::string current(input.substr(start, end - start));
    extending = extending && current.starts_with(previous);
    if (auto delta = lexonaut::streamDelta(sent, current)) {
      if (delta->empty() || !current.ends_with(*delta)) std::abort();
      joined.append(*delta);
      sent = current;
    }
    previous = current;
    start = end + 1;
  }
  if (extending && joined != previous) std::abort();
  return 0;
}
