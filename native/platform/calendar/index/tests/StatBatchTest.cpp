// The file checks shared among threads give, in order, what one call per file
// gives.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar/index/StatBatch.h"

namespace calendar {
namespace {

namespace fs = std::filesystem;

TEST(StatBatch, ThreadsAnswerEveryRequestInOrder) {
  char path[] = "/tmp/stat-batch-XXXXXX";
  ASSERT_NE(mkdtemp(path), nullptr);
  const std::string dir = path;
  // Files of different sizes, a directory, and names that do not exist, so
  // that a result landing in the wrong place shows.
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) {
    std::string name = "f";
    name += std::to_string(i);
    std::ofstream(dir + "/" + name) << std::string(static_cast<std::size_t>(i), 'x');
    names.push_back(name);
  }
  fs::create_directory(dir + "/sub");
  names.push_back("sub");
  names.push_back("missing");
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<StatRequest> requests;
  for (int i = 0; i < 9001; ++i) {
    requests.push_back({fd, names[static_cast<std::size_t>(i * 7) % names.size()].c_str()});
  }
  const std::vector<FileStat> alone = statAll(requests, 1);
  for (const unsigned threads : {2u, 3u, 4u}) {
    const std::vector<FileStat> shared = statAll(requests, threads);
    ASSERT_EQ(shared.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const std::string name = requests[i].name;
      ASSERT_EQ(shared[i].found, name != "missing") << i;
      ASSERT_EQ(shared[i].regular, name[0] == 'f') << i;
      ASSERT_TRUE(shared[i].key == alone[i].key) << i;
      if (name[0] == 'f') {
        ASSERT_EQ(shared[i].key.size, std::stoi(name.substr(1))) << i;
      }
    }
  }
  close(fd);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace calendar
