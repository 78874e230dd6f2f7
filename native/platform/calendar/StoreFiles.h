// Directory helpers shared by the full read of the store and its index.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace calendar {

// The names in a directory in byte order, without "." and "..". Empty when
// the directory cannot be read.
std::vector<std::string> sortedEntries(const std::string& path);

enum class Kind { directory, file, other };

// What `path` is after following symbolic links; `other` for a broken link.
Kind kindOf(const std::string& path);

bool isIcsName(std::string_view name);

bool exists(const std::string& path);

}  // namespace calendar
