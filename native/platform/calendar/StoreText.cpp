#include "calendar/StoreText.h"

#include <unicode/unistr.h>

#include <array>
#include <charconv>

namespace calendar {

namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when its first
// bytes form an invalid subpart; `bad` receives the subpart's length then.
std::size_t validSequence(std::string_view s, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  bad = 1;
  if (b0 < 0x80) return b0 == 0 ? 0 : 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    bad = i + 1;
  }
  return need + 1;
}

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A decimal integer with an optional sign and nothing else; out of range or
// malformed gives nothing.
std::optional<std::int64_t> parseInteger(std::string_view s) {
  const bool plus = !s.empty() && s[0] == '+';
  if (plus) s.remove_prefix(1);
  if (s.empty() || (plus && s[0] == '-')) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::int64_t wordOrInteger(std::string_view text, const std::array<std::string_view, 5>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (text == words[i]) return static_cast<std::int64_t>(i);
  }
  return parseInteger(text).value_or(-1);
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::string repairUtf8(std::string_view text) {
  if (isValidUtf8(text) && text.find('\0') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t bad = 0;
    const std::size_t n = validSequence(text.substr(i), bad);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out.append(kReplacement);
      i += bad;
    }
  }
  return out;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t n = validSequence(text.substr(i), bad);
    if (n == 0 && text[i] != '\0') return false;
    i += n > 0 ? n : 1;
  }
  return true;
}

std::string_view trimAscii(std::string_view text) {
  while (!text.empty() && isAsciiSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isAsciiSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view firstLine(std::string_view text) {
  const auto end = text.find('\n');
  std::string_view line = text.substr(0, end);
  if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::int64_t parseAccess(std::string_view text) {
  static constexpr std::array<std::string_view, 5> words = {"not-determined", "restricted",
                                                            "denied", "granted", "write-only"};
  return wordOrInteger(trimAscii(text), words);
}

std::int64_t parseKind(std::string_view text) {
  static constexpr std::array<std::string_view, 5> words = {"local", "caldav", "exchange",
                                                            "subscription", "birthday"};
  return wordOrInteger(trimAscii(firstLine(text)), words);
}

std::string foldCase(std::string_view text) {
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    std::string out(text);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  u.foldCase();
  std::string out;
  u.toUTF8String(out);
  return out;
}

AddressSet parseMe(std::string_view text) {
  AddressSet me;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = trimAscii(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line[0] == '#') continue;
    if (line.size() >= 7 && equalsIgnoreAsciiCase(line.substr(0, 7), "mailto:")) {
      line.remove_prefix(7);
    }
    if (!line.empty()) me.insert(foldCase(line));
  }
  return me;
}

bool isCurrentUser(std::string_view calendarAddress, const AddressSet& me) {
  if (me.empty() || calendarAddress.size() < 7 ||
      !equalsIgnoreAsciiCase(calendarAddress.substr(0, 7), "mailto:")) {
    return false;
  }
  return me.count(foldCase(calendarAddress.substr(7))) > 0;
}

std::string unescapeText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c != '\\' || i + 1 == value.size()) {
      out += c;
      continue;
    }
    const char next = value[i + 1];
    if (next == 'n' || next == 'N') {
      out += '\n';
    } else if (next == '\\' || next == ';' || next == ',') {
      out += next;
    } else {
      out += c;
      continue;
    }
    ++i;
  }
  return out;
}

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view nextLine(std::string_view text, std::size_t& pos) {
  const std::size_t end = text.find('\n', pos);
  std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
  pos = end == std::string_view::npos ? text.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<ContentLine> splitContentLine(std::string_view logical) {
  const std::size_t nameEnd = logical.find_first_of(";:");
  if (nameEnd == std::string_view::npos) return std::nullopt;
  std::size_t colon = nameEnd;
  for (bool quoted = false; colon < logical.size(); ++colon) {
    if (logical[colon] == '"') quoted = !quoted;
    if (logical[colon] == ':' && !quoted) break;
  }
  if (colon >= logical.size()) return std::nullopt;
  return ContentLine{logical.substr(0, nameEnd), logical.substr(nameEnd, colon - nameEnd),
                     logical.substr(colon + 1)};
}

}  // namespace calendar
