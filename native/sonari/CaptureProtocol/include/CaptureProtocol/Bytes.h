// The byte buffer of the capture protocol: owned, growable, contiguous, with
// value semantics. Every operation of the library takes, returns and stores
// bytes in this form.
#pragma once

#include <cstdint>
#include <vector>

namespace capture {

using Bytes = std::vector<std::uint8_t>;

}  // namespace capture
