// The bytes a file's digest is kept as in the index. The form is private to
// one build of this program on one machine (the index's format number
// changes with it) and decoding checks every length and value, so damaged
// bytes give nothing rather than a wrong digest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "calendar/IcsFile.h"

namespace calendar {

std::string encodeDigest(const FileDigest& digest);

// The digest `bytes` encode, when they are exactly what encodeDigest writes
// for some digest (so encodeDigest of the result gives `bytes` back).
std::optional<FileDigest> decodeDigest(std::string_view bytes);

}  // namespace calendar
