#include "Timing.h"

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

uint32_t timeGetTime() {
    // Monotonic: a step of the wall clock (NTP, an operator) must neither end nor stretch a
    // wait measured with it.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

SleepSplit LoopSleepSplit(uint32_t delayTime) {
    const uint32_t micros = delayTime * 1000u;  // reduced to 32 bits on purpose
    if (micros > 999999u) return {micros / 1000000u, micros % 1000000u};
    return {0, micros};
}

void LoopSleep(uint32_t delayTime) {
    const SleepSplit split = LoopSleepSplit(delayTime);
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(split.seconds);
    wait.tv_usec = static_cast<suseconds_t>(split.micros);
    select(0, nullptr, nullptr, nullptr, &wait);
}

timespec MonotonicAfter(uint32_t ms) {
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += static_cast<time_t>(ms / 1000);
    at.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

void InitMonotonicCondition(pthread_cond_t& condition) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&condition, &attr);
    pthread_condattr_destroy(&attr);
}
