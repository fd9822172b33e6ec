// The millisecond clock and the sleep every wait of the library is built from.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

// Milliseconds of the monotonic clock reduced to 32 bits; differences are taken in unsigned
// 32-bit arithmetic, so they stay right across the wrap.
uint32_t timeGetTime();

// Sleeps delayTime milliseconds by a timed wait on no descriptors. An interrupted wait is not
// resumed.
void LoopSleep(uint32_t delayTime);

// The timeval that LoopSleep waits for: delayTime * 1000 microseconds reduced to 32 bits, split
// into whole seconds and microseconds above 999999.
struct SleepSplit {
    uint32_t seconds;
    uint32_t micros;
};
SleepSplit LoopSleepSplit(uint32_t delayTime);

// Elapsed milliseconds from start to now on the wrapping clock.
inline uint32_t ElapsedSince(uint32_t start, uint32_t now) { return now - start; }

// The monotonic clock ms milliseconds from now, as a deadline for a timed wait.
timespec MonotonicAfter(uint32_t ms);

// Makes a condition variable whose timed waits run on the monotonic clock.
void InitMonotonicCondition(pthread_cond_t& condition);
