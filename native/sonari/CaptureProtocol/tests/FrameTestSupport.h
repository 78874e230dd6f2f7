// Helpers shared by the frame tests: bytes from hex text, and readable
// failure output for frames.
#pragma once

#include <CaptureProtocol/Frame.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

namespace capture {

// "00 11 ff" -> {0x00, 0x11, 0xFF}; spaces are ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (c == ' ') continue;
    digits += c;
    if (digits.size() == 2) {
      out.push_back(static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16)));
      digits.clear();
    }
  }
  return out;
}

inline std::string hexOf(const Bytes& bytes) {
  std::string out;
  char byte[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 64) return out + " ...(" + std::to_string(bytes.size()) + " bytes)";
    std::snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
    out += byte;
  }
  return out;
}

inline void PrintTo(const PcmFrame& f, std::ostream* os) {
  *os << "pcm{source " << int(f.source) << ", seq " << f.seq << ", tsUs " << f.tsUs << ", samples "
      << hexOf(f.samples) << "}";
}
inline void PrintTo(const EventFrame& f, std::ostream* os) {
  *os << "event{" << hexOf(f.payload) << "}";
}
inline void PrintTo(const UnknownFrame& f, std::ostream* os) {
  *os << "unknown{" << int(f.type) << "}";
}
inline void PrintTo(const Frame& f, std::ostream* os) {
  std::visit([os](const auto& v) { PrintTo(v, os); }, f);
}

}  // namespace capture
