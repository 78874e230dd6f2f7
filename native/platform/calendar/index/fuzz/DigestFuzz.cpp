// Two oracles for the digests the index keeps. Read as a calendar file, the
// input's digest must survive encoding and decoding byte for byte and give
// the same answers as before. Read as stored bytes, the input either decodes
// to a digest that encodes back to exactly those bytes, or is refused; what
// decodes can be answered from without harm.
#include <libical/ical.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "calendar/IcsFile.h"
#include "calendar/StoreText.h"
#include "calendar/index/DigestCodec.h"

namespace {

void fail(int line) {
  std::fprintf(stderr, "oracle failed at line %d\n", line);
  std::abort();
}
#define check(ok) ((ok) ? (void)0 : fail(__LINE__))

const double kWindows[][2] = {{1735689600, 1736294400},   // a week of January 2025
                              {1704067200, 1798761600}};  // 2024 to 2027

std::vector<calendar::Event> answers(const calendar::FileDigest& digest, calendar::ZoneCache& zones,
                                     const calendar::FileContext& context) {
  std::vector<calendar::Event> events;
  for (const auto& w : kWindows) {
    calendar::appendDigestEvents(digest, context, w[0], w[1], zones, events);
  }
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static calendar::ZoneCache& zones = *new calendar::ZoneCache();
  static const calendar::AddressSet& me = *new calendar::AddressSet{"me@example.com"};
  static const bool once = [] {
    setenv("TZ", "Europe/Berlin", 1);
    icalerror_set_errors_are_fatal(0);
    return true;
  }();
  (void)once;
  calendar::FileContext context;
  context.itemPath = "fuzz/f.ics";
  context.me = &me;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string text = calendar::repairUtf8(bytes);
  const calendar::FileDigest digest = calendar::digestFile(text, calendar::scanIcs(text), zones);
  const std::string encoded = calendar::encodeDigest(digest);
  const auto decoded = calendar::decodeDigest(encoded);
  check(decoded.has_value());
  check(calendar::encodeDigest(*decoded) == encoded);
  check(answers(*decoded, zones, context) == answers(digest, zones, context));
  zones.limitSize();

  if (const auto stored = calendar::decodeDigest(bytes)) {
    check(calendar::encodeDigest(*stored) == bytes);
    answers(*stored, zones, context);
    zones.limitSize();
  }
  return 0;
}
