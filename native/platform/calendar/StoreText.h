// Pure readers of the small text files of a calendar store and of iCalendar
// text values. No I/O: each takes the bytes and returns a value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace calendar {

// `text` with every byte sequence that is not valid UTF-8 replaced by U+FFFD
// (one replacement per maximal invalid subpart, as Unicode recommends). NUL
// bytes become U+FFFD as well: the iCalendar parser reads C strings, and a NUL
// would silently cut the rest of a file away.
std::string repairUtf8(std::string_view text);
bool isValidUtf8(std::string_view text);

// `text` without ASCII white space (space, tab, CR, LF, VT, FF) at both ends.
std::string_view trimAscii(std::string_view text);

// The first line of `text`, without its line end (LF or CRLF).
std::string_view firstLine(std::string_view text);

// Whether `a` and `b` are equal when ASCII letters are compared without case.
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);

// One physical line of `text` from `pos`, without its line end (LF or CRLF);
// advances `pos` past it.
std::string_view nextLine(std::string_view text, std::size_t& pos);

// An unfolded iCalendar content line cut into its name (as written), its
// parameters (from the first ";" up to the value's colon, empty when there
// are none) and its value (after the first colon outside quotes), or nothing
// when the line has no such colon.
struct ContentLine {
  std::string_view name;
  std::string_view params;
  std::string_view value;
};
std::optional<ContentLine> splitContentLine(std::string_view logical);

// The permission status held by the `access` file: a status word, or a decimal
// integer with an optional sign, white space around it ignored. Anything else
// (including an integer out of range) reads as -1, a status nobody knows.
std::int64_t parseAccess(std::string_view text);

// The calendar type held by a collection's `kind` file (its first line): a kind
// word, or a decimal integer; anything else reads as -1.
std::int64_t parseKind(std::string_view text);

// The user's own addresses from the `me` file, case-folded, without `mailto:`.
using AddressSet = std::unordered_set<std::string>;
AddressSet parseMe(std::string_view text);

// Whether a calendar address such as "MAILTO:Bob@Example.com" names one of `me`.
bool isCurrentUser(std::string_view calendarAddress, const AddressSet& me);

// Unicode default case folding of UTF-8 text (ASCII fast path).
std::string foldCase(std::string_view text);

// An iCalendar TEXT value unescaped: \n and \N become a line feed, \\ \; \,
// their character; any other backslash stays as written.
std::string unescapeText(std::string_view value);

}  // namespace calendar
