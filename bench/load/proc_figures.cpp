#include "proc_figures.h"

#include <dirent.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "load_common.h"

namespace velmar::load {

ProcFigures readProc(int pid) {
  ProcFigures f;
  const std::string base = "/proc/" + std::to_string(pid);
  std::ifstream status(base + "/status");
  if (!status) fail("process " + std::to_string(pid) + " is gone");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) f.rssKiB = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
  }
  std::ifstream statFile(base + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks; the fields count from the last ')'.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::vector<std::string> fields;
  std::string field;
  while (rest >> field) fields.push_back(field);
  // Field 14 (utime) and 15 (stime) of stat are 12 and 13 here (state is field 3 = index 0).
  if (fields.size() > 12) {
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    f.cpuSeconds = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;
  }
  if (DIR* dir = opendir((base + "/fd").c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++f.fds;
    }
    closedir(dir);
  }
  return f;
}

bool waitForThreads(int pid, long threads, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (readProc(pid).threads <= threads) return true;
    poll(nullptr, 0, 20);
  }
  return false;
}

ProcFigures settled(int pid) {
  ProcFigures last = readProc(pid);
  int still = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (still < 5 && Clock::now() < deadline) {
    poll(nullptr, 0, 300);
    const ProcFigures now = readProc(pid);
    still = (now.threads == last.threads && now.fds == last.fds && now.rssKiB == last.rssKiB)
                ? still + 1
                : 0;
    last = now;
  }
  return last;
}

std::vector<long> threadStackResidentKiB(int pid, long stackKiB) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  if (!smaps) fail("process " + std::to_string(pid) + " is gone");
  std::vector<long> out;
  // Per mapping: a header line "start-end perms offset dev inode [path]", then "Key: value kB"
  // lines. A stack is a private anonymous read-write mapping of the size right above a
  // one-page inaccessible one.
  const long page = sysconf(_SC_PAGESIZE);
  unsigned long lastEnd = 0;
  bool lastGuard = false, candidate = false, sizeMatches = false;
  std::string line;
  while (std::getline(smaps, line)) {
    unsigned long start = 0, end = 0;
    char perms[8] = {};
    unsigned long offset = 0;
    char dev[16] = {};
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %7s %lx %15s %lu", &start, &end, perms, &offset, dev,
                    &inode) == 6) {
      candidate = lastGuard && lastEnd == start && std::string(perms) == "rw-p" && inode == 0;
      sizeMatches = static_cast<long>(end - start) == stackKiB * 1024;
      lastGuard = std::string(perms) == "---p" && static_cast<long>(end - start) == page;
      lastEnd = end;
      continue;
    }
    if (candidate && sizeMatches && line.rfind("Rss:", 0) == 0) {
      out.push_back(std::atol(line.c_str() + 4));
    }
  }
  return out;
}

double processCpuSeconds(int pid) {
  clockid_t clock{};
  timespec t{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
    fail("no CPU clock for process " + std::to_string(pid));
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace velmar::load
