#include "calendar/index/DigestCodec.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace calendar {

namespace {

// Integers are LEB128 varints (signed ones zigzagged), doubles their eight
// bytes, texts a length and their bytes, optional values a 0 or 1 first.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void unsignedInt(std::uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<char>(v | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }
  void signedInt(std::int64_t v) {
    unsignedInt((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
  }
  void flag(bool b) { out_.push_back(b ? 1 : 0); }
  void real(double d) {
    char bytes[sizeof d];
    std::memcpy(bytes, &d, sizeof d);
    out_.append(bytes, sizeof d);
  }
  void text(std::string_view s) {
    unsignedInt(s.size());
    out_.append(s);
  }
  template <typename T, typename F>
  void optional(const std::optional<T>& v, F write) {
    flag(v.has_value());
    if (v) write(*v);
  }
  template <typename T, typename F>
  void list(const std::vector<T>& v, F write) {
    unsignedInt(v.size());
    for (const T& item : v) write(item);
  }

  void wall(const icaltimetype& t) {
    signedInt(t.year);
    signedInt(t.month);
    signedInt(t.day);
    signedInt(t.hour);
    signedInt(t.minute);
    signedInt(t.second);
    flag(t.is_date != 0);
  }
  void wallInstant(const WallInstant& w) {
    real(w.instant);
    wall(w.wall);
  }
  void participant(const Participant& p) {
    signedInt(p.participantType);
    signedInt(p.participantStatus);
    flag(p.isCurrentUser);
    optional(p.name, [this](const std::string& s) { text(s); });
    text(p.url);
  }
  void event(const Event& e) {
    const auto writeText = [this](const std::string& s) { text(s); };
    const auto writeReal = [this](double d) { real(d); };
    signedInt(e.status);
    optional(e.attendees, [this](const std::vector<Participant>& people) {
      list(people, [this](const Participant& p) { participant(p); });
    });
    optional(e.startDate, writeReal);
    optional(e.endDate, writeReal);
    optional(e.eventIdentifier, writeText);
    text(e.calendarItemIdentifier);
    optional(e.title, writeText);
    flag(e.isAllDay);
    optional(e.calendar, [this](const Calendar& c) {
      text(c.title);
      signedInt(c.type);
      flag(c.allowsContentModifications);
    });
    optional(e.location, writeText);
    optional(e.notes, writeText);
    optional(e.url, writeText);
    optional(e.organizer, [this](const Participant& p) { participant(p); });
  }
  void digestEvent(const DigestEvent& e) {
    unsignedInt(e.number);
    wallInstant(e.start);
    unsignedInt(e.zone);
    flag(e.isDate);
    signedInt(e.days);
    real(e.seconds);
    flag(e.isOverride);
    optional(e.recurrenceId, [this](double d) { real(d); });
    list(e.rules, [this](const std::string& s) { text(s); });
    list(e.rdates, [this](const WallInstant& w) { wallInstant(w); });
    list(e.exInstants, [this](double d) { real(d); });
    list(e.exDays, [this](long long d) { signedInt(d); });
    event(e.base);
  }

 private:
  std::string& out_;
};

// Reads what Writer writes, refusing anything Writer would not have written.
// Every method leaves `ok_` false on a fault and then returns a neutral value.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  bool ok() const { return ok_; }
  void refuse() { fail(); }
  bool atEnd() const { return in_.empty(); }

  std::uint64_t unsignedInt() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (in_.empty()) return fail();
      const auto byte = static_cast<std::uint8_t>(in_[0]);
      in_.remove_prefix(1);
      if (shift == 63 && byte > 1) return fail();
      v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) {
        if (byte == 0 && shift > 0) return fail();  // not the shortest form
        return v;
      }
    }
    return fail();
  }
  std::int64_t signedInt() {
    const std::uint64_t z = unsignedInt();
    return static_cast<std::int64_t>((z >> 1) ^ (~(z & 1) + 1));
  }
  template <typename T>
  T bounded(T low, T high) {
    const std::int64_t v = signedInt();
    if (v < low || v > high) return static_cast<T>(fail());
    return static_cast<T>(v);
  }
  int integer() { return bounded<int>(INT_MIN, INT_MAX); }
  bool flag() {
    if (in_.empty() || static_cast<std::uint8_t>(in_[0]) > 1) return fail() != 0;
    const bool b = in_[0] == 1;
    in_.remove_prefix(1);
    return b;
  }
  double real() {
    double d = 0;
    if (in_.size() < sizeof d) return static_cast<double>(fail());
    std::memcpy(&d, in_.data(), sizeof d);
    in_.remove_prefix(sizeof d);
    return d;
  }
  std::string text() {
    const std::uint64_t n = unsignedInt();
    if (n > in_.size()) return fail(), std::string();
    std::string s(in_.substr(0, n));
    in_.remove_prefix(n);
    return s;
  }
  template <typename T, typename F>
  std::optional<T> optional(F read) {
    if (!flag()) return std::nullopt;
    return read();
  }
  // Every element takes at least a byte: a count beyond the bytes left is
  // damage, not a reason to allocate.
  template <typename T, typename F>
  std::vector<T> list(F read) {
    const std::uint64_t n = unsignedInt();
    std::vector<T> v;
    if (n > in_.size()) return fail(), v;
    v.reserve(std::min<std::uint64_t>(n, 64));
    for (std::uint64_t i = 0; i < n && ok_; ++i) v.push_back(read());
    return v;
  }

  // Only what a calendar's text can write (two digits a field, four for
  // the year; the library takes some days and months that do not exist) or
  // a conversion can give.
  icaltimetype wall() {
    icaltimetype t = icaltime_null_time();
    t.year = bounded<int>(-10000, 10000);
    t.month = bounded<int>(0, 99);
    t.day = bounded<int>(0, 99);
    t.hour = bounded<int>(0, 99);
    t.minute = bounded<int>(0, 99);
    t.second = bounded<int>(0, 99);
    t.is_date = flag() ? 1 : 0;
    return t;
  }
  WallInstant wallInstant() {
    WallInstant w;
    w.instant = real();
    w.wall = wall();
    return w;
  }
  Participant participant() {
    Participant p;
    p.participantType = signedInt();
    p.participantStatus = signedInt();
    p.isCurrentUser = flag();
    p.name = optional<std::string>([this] { return text(); });
    p.url = text();
    return p;
  }
  Event event() {
    const auto readText = [this] { return text(); };
    const auto readReal = [this] { return real(); };
    Event e;
    e.status = signedInt();
    e.attendees = optional<std::vector<Participant>>(
        [this] { return list<Participant>([this] { return participant(); }); });
    e.startDate = optional<double>(readReal);
    e.endDate = optional<double>(readReal);
    e.eventIdentifier = optional<std::string>(readText);
    e.calendarItemIdentifier = text();
    e.title = optional<std::string>(readText);
    e.isAllDay = flag();
    e.calendar = optional<Calendar>([this] {
      Calendar c;
      c.title = text();
      c.type = signedInt();
      c.allowsContentModifications = flag();
      return c;
    });
    e.location = optional<std::string>(readText);
    e.notes = optional<std::string>(readText);
    e.url = optional<std::string>(readText);
    e.organizer = optional<Participant>([this] { return participant(); });
    return e;
  }
  DigestEvent digestEvent(std::size_t zones) {
    DigestEvent e;
    const std::uint64_t number = unsignedInt();
    if (number > UINT32_MAX) fail();
    e.number = static_cast<std::uint32_t>(number);
    e.start = wallInstant();
    const std::uint64_t zone = unsignedInt();
    if (zone >= zones) fail();
    e.zone = static_cast<std::uint32_t>(zone);
    e.isDate = flag();
    e.days = integer();
    e.seconds = real();
    e.isOverride = flag();
    e.recurrenceId = optional<double>([this] { return real(); });
    e.rules = list<std::string>([this] { return text(); });
    e.rdates = list<WallInstant>([this] { return wallInstant(); });
    e.exInstants = list<double>([this] { return real(); });
    e.exDays = list<long long>([this] { return static_cast<long long>(signedInt()); });
    e.base = event();
    return e;
  }

 private:
  int fail() {
    ok_ = false;
    in_ = {};
    return 0;
  }

  std::string_view in_;
  bool ok_ = true;
};

}  // namespace

std::string encodeDigest(const FileDigest& digest) {
  std::string out;
  Writer w(out);
  w.optional(digest.calendarName, [&w](const std::string& s) { w.text(s); });
  w.list(digest.zones, [&w](const ZoneRef& z) {
    w.unsignedInt(z.kind);
    w.text(z.name);
  });
  w.list(digest.events, [&w](const DigestEvent& e) { w.digestEvent(e); });
  return out;
}

std::optional<FileDigest> decodeDigest(std::string_view bytes) {
  Reader r(bytes);
  FileDigest digest;
  digest.calendarName = r.optional<std::string>([&r] { return r.text(); });
  digest.zones = r.list<ZoneRef>([&r] {
    ZoneRef z;
    const std::uint64_t kind = r.unsignedInt();
    if (kind > ZoneRef::defined) r.refuse();
    z.kind = static_cast<ZoneRef::Kind>(kind);
    z.name = r.text();
    return z;
  });
  digest.events = r.list<DigestEvent>([&r, &digest] { return r.digestEvent(digest.zones.size()); });
  if (!r.ok() || !r.atEnd()) return std::nullopt;
  return digest;
}

}  // namespace calendar
