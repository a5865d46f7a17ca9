// Figures of a process from /proc: resident memory, threads, CPU time, descriptors.
#pragma once

#include <chrono>
#include <vector>

namespace velmar::load {

struct ProcFigures {
  long rssKiB = 0;
  long threads = 0;
  double cpuSeconds = 0;  // utime + stime
  long fds = 0;
};

ProcFigures readProc(int pid);

// Waits until the process runs at most `threads` threads (its connection threads have ended).
bool waitForThreads(int pid, long threads, std::chrono::seconds limit);

// Figures once the process has settled: closing connections end their threads and then
// their sockets a moment later, and velmar hands cached memory back a second after its last
// connection; so wait until threads, descriptors and resident memory hold still for 1.5 s (at
// most ten seconds).
ProcFigures settled(int pid);

// The resident KiB of each thread stack of `stackKiB` that the process mapped itself with a
// guard page below it (velmar's connection threads): how deep each stack has ever been used,
// since a touched stack page stays resident.
std::vector<long> threadStackResidentKiB(int pid, long stackKiB);

// The CPU time of another process so far, to the nanosecond (the tick-based cpuSeconds of
// readProc is too coarse for a single login).
double processCpuSeconds(int pid);

// The CPU time of this process so far.
double processCpuSeconds();

}  // namespace velmar::load
