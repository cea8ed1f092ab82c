// The descriptors a process has open, and the check a test build of lomp
// makes at exit that it closed every descriptor it opened: the object lists
// the descriptors open when it is made and, when it is destroyed (after every
// other object of the program), reports any that were opened since and ends
// the process with exit code 70.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace lomp::testing {

class FdCheckAtExit {
 public:
  FdCheckAtExit() : atStart_(OpenDescriptors()) {}
  ~FdCheckAtExit() {
    std::string leaked;
    for (const int fd : OpenDescriptors()) {
      if (atStart_.count(fd)) continue;
      // Appended piece by piece: g++ 12 at -O3 misreads "literal" + string
      // as an overlapping copy (-Wrestrict).
      leaked += ' ';
      leaked += std::to_string(fd);
      leaked += Target(fd);
    }
    if (!leaked.empty()) {
      std::fprintf(stderr, "lomp: file descriptors left open:%s\n", leaked.c_str());
      std::fflush(stdout);
      _exit(70);
    }
  }
  FdCheckAtExit(const FdCheckAtExit&) = delete;
  FdCheckAtExit& operator=(const FdCheckAtExit&) = delete;

  // The descriptors this process has open now.
  static std::set<int> OpenDescriptors() {
    std::set<int> open;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return open;
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd != own) open.insert(fd);
    }
    closedir(directory);
    return open;
  }

 private:
  static std::string Target(int fd) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    std::string shown;
    if (length > 0) {
      shown += '(';
      shown.append(target, static_cast<std::size_t>(length));
      shown += ')';
    }
    return shown;
  }

  const std::set<int> atStart_;
};

}  // namespace lomp::testing
