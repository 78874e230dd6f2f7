// What a streamed request writes for each snapshot of the growing text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace lexonaut {

// The text of the delta line for the snapshot `current` when `sent` has
// already gone out as deltas, or nothing when no line is due. Both are UTF-8.
//
// A snapshot that begins with the sent text (the normal case: it extends the
// one before) yields exactly the bytes after it, when there are any, even
// when they only complete the last user-perceived character: so the
// concatenated deltas always equal the text. Any other snapshot (one that
// rewrote earlier text) is cut by count: when it has more user-perceived
// characters than the sent text, the delta is the snapshot without as many
// leading characters as the sent text has; otherwise nothing.
//
// After a delta is written, `current` becomes the sent text. The returned
// view points into `current`.
std::optional<std::string_view> streamDelta(std::string_view sent, std::string_view current);

// The number of user-perceived characters (extended grapheme clusters, as
// ICU's character break iterator finds them) in the UTF-8 `text`.
std::size_t characterCount(std::string_view text);

}  // namespace lexonaut
