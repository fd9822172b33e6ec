// What the benchmarks share: the clock, the process's CPU time, and a set of figures read by
// quantile.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace prnbench {

using Clock = std::chrono::steady_clock;

inline double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// User and system CPU time of the whole process so far, in seconds.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Measurements of one row; at(0.5) is the median, at(0) and at(1) the lowest and highest.
struct Figures {
    std::vector<double> values;
    double at(double quantile) const {
        std::vector<double> v = values;
        std::sort(v.begin(), v.end());
        if (v.empty()) return 0;
        return v[static_cast<size_t>(quantile * static_cast<double>(v.size() - 1) + 0.5)];
    }
};

}  // namespace prnbench
