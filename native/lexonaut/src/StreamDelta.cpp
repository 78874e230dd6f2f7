#include "StreamDelta.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

namespace lexonaut {

namespace {

// Calls visit(offset) for each character boundary after the start of `text`
// until it returns false. Returns false when ICU could not break the text.
template <typename Visit>
bool forEachBoundary(std::string_view text, Visit visit) {
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  if (U_SUCCESS(status)) ubrk_setUText(breaks, utext, &status);
  bool ok = U_SUCCESS(status);
  if (ok) {
    for (int32_t at = ubrk_next(breaks); at != UBRK_DONE; at = ubrk_next(breaks)) {
      if (!visit(static_cast<std::size_t>(at))) break;
    }
  }
  if (breaks != nullptr) ubrk_close(breaks);
  utext_close(utext);
  return ok;
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  bool ok = forEachBoundary(text, [&](std::size_t) {
    ++count;
    return true;
  });
  return ok ? count : text.size();
}

std::optional<std::string_view> streamDelta(std::string_view sent, std::string_view current) {
  if (current.starts_with(sent)) {
    if (current.size() == sent.size()) return std::nullopt;
    return current.substr(sent.size());
  }
  std::size_t skip = characterCount(sent);
  if (skip == 0) return current.empty() ? std::nullopt : std::optional(current);
  std::size_t seen = 0;
  std::size_t cut = current.size();
  forEachBoundary(current, [&](std::size_t at) {
    if (++seen < skip) return true;
    cut = at;
    return false;
  });
  if (cut >= current.size()) return std::nullopt;
  return current.substr(cut);
}

}  // namespace lexonaut
