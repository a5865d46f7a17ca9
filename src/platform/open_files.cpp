#include "platform/open_files.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>

namespace velmar::platform {
namespace {

std::size_t asCount(rlim_t value) {
  return value == RLIM_INFINITY ? kNoOpenFileLimit : static_cast<std::size_t>(value);
}

}  // namespace

std::size_t RaiseOpenFileLimit() {
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return kNoOpenFileLimit;
  if (limits.rlim_cur != limits.rlim_max) {
    rlimit raised = limits;
    raised.rlim_cur = limits.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
      // An unlimited hard limit is more than the kernel takes: go as far as it does.
      long long most = 0;
      std::ifstream("/proc/sys/fs/nr_open") >> most;
      if (most > 0) {
        raised.rlim_cur = std::min<rlim_t>(limits.rlim_max, static_cast<rlim_t>(most));
        ::setrlimit(RLIMIT_NOFILE, &raised);
      }
    }
  }
  return OpenFileLimit();
}

std::size_t OpenFileLimit() {
  rlimit limits{};
  if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return kNoOpenFileLimit;
  return asCount(limits.rlim_cur);
}

std::size_t OpenDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count > 0 ? count - 1 : 0;  // less the one that reads the folder
}

}  // namespace velmar::platform
