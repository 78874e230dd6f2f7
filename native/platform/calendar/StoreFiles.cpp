#include "calendar/StoreFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace calendar {

std::vector<std::string> sortedEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

Kind kindOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Kind::other;
  if (S_ISDIR(st.st_mode)) return Kind::directory;
  if (S_ISREG(st.st_mode)) return Kind::file;
  return Kind::other;
}

bool isIcsName(std::string_view name) {
  return name.size() >= 4 && name.substr(name.size() - 4) == ".ics";
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

}  // namespace calendar
