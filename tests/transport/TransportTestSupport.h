// Shared by the transport and native tests and the benchmarks: deadline waits, the process's
// thread and descriptor counts and resident memory, and a modem state file of the test
// process's own (the modem shim is linked into the test executables).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace prntest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls cond every 5 ms until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!cond()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

inline long MillisSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

inline int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count - 1;  // the directory's own descriptor
}

// The process's resident memory in KiB.
inline long ResidentKiB() {
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Each test process publishes its printers' modem lines in a file of its own.
inline void UseOwnModemFile() {
    const std::string file = "/tmp/prnmodem-test-" + std::to_string(getpid());
    setenv("PRNSIM_MODEM_FILE", file.c_str(), 1);
}

}  // namespace prntest
