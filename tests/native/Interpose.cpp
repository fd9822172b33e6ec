// Calls of the C library that the line tests stand in front of, for the library under test as
// much as for the test itself (the executable exports them, so the dlopen'ed library binds to
// them): the wall clock, which a test can step as NTP or an operator would, and connect(),
// which a test can count.
#include "Interpose.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

std::atomic<long long> g_wallOffsetMs{0};
std::atomic<int> g_connects{0};
std::atomic<int> g_stalledSends{0};

template <class Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool IsWallClock(clockid_t clock) {
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

}  // namespace

namespace prntest {

void StepWallClock(long long millis) {
    g_wallOffsetMs += millis;
}
void ResetWallClock() {
    g_wallOffsetMs = 0;
}
int ConnectCalls() {
    return g_connects.load();
}
void StallSends(int calls) {
    g_stalledSends = calls;
}

}  // namespace prntest

extern "C" {

int clock_gettime(clockid_t clock, struct timespec* now) {
    using Real = int (*)(clockid_t, struct timespec*);
    static const Real real = Next<Real>("clock_gettime");
    const int result = real(clock, now);
    const long long offset = g_wallOffsetMs.load();
    if (result == 0 && offset != 0 && IsWallClock(clock)) {
        long long ns =
            static_cast<long long>(now->tv_sec) * 1000000000LL + now->tv_nsec + offset * 1000000LL;
        now->tv_sec = static_cast<time_t>(ns / 1000000000LL);
        now->tv_nsec = static_cast<long>(ns % 1000000000LL);
    }
    return result;
}

int gettimeofday(struct timeval* now, void* zone) {
    using Real = int (*)(struct timeval*, void*);
    static const Real real = Next<Real>("gettimeofday");
    const int result = real(now, zone);
    const long long offset = g_wallOffsetMs.load();
    if (result == 0 && offset != 0) {
        long long us =
            static_cast<long long>(now->tv_sec) * 1000000LL + now->tv_usec + offset * 1000LL;
        now->tv_sec = static_cast<time_t>(us / 1000000LL);
        now->tv_usec = static_cast<suseconds_t>(us % 1000000LL);
    }
    return result;
}

int connect(int fd, const struct sockaddr* address, socklen_t length) {
    using Real = int (*)(int, const struct sockaddr*, socklen_t);
    static const Real real = Next<Real>("connect");
    g_connects.fetch_add(1);
    return real(fd, address, length);
}

// A blocking send of a job (not a three-byte command) can be made to find the printer's window
// closed: it waits its 1 s send timeout and fails with EAGAIN, having sent nothing.
ssize_t send(int fd, const void* data, size_t size, int flags) {
    using Real = ssize_t (*)(int, const void*, size_t, int);
    static const Real real = Next<Real>("send");
    if ((flags & MSG_DONTWAIT) == 0 && size > 3) {
        int left = g_stalledSends.load();
        while (left > 0 && !g_stalledSends.compare_exchange_weak(left, left - 1)) {
        }
        if (left > 0) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            errno = EAGAIN;
            return -1;
        }
    }
    return real(fd, data, size, flags);
}

}  // extern "C"
