// Modem lines, and a line that stops taking data, for ptys that stand in for serial printers.
//
// A pty has no modem status: TIOCMGET fails with ENOTTY. Nor can its output queue get stuck: its
// TIOCOUTQ is 0 and tcdrain returns at once, where a real line whose printer stopped reading
// (flow control held, a stuck UART) keeps the same bytes queued and tcdrain never returns.
// This file defines ioctl() and tcdrain() and serves the devices listed in the state file named
// by PRNSIM_MODEM_FILE (lines "<device path> <TIOCM bits in hex> [outq=<bytes>]", written by the
// virtual printer):
//  - TIOCMGET / TIOCMSET / TIOCMBIS / TIOCMBIC from the bits;
//  - while outq is present and non-zero: TIOCOUTQ answers outq, and tcdrain() and TCSBRK /
//    TCSBRKP (which wait for the queue to drain before they act) wait, looking at the file every
//    20 ms, until outq is 0 or the line is gone; tcdrain then returns 0, the ioctls go on to the
//    kernel. A signal handler interrupts the wait as it does the real one: with SA_RESTART the
//    wait goes on, without it the call fails with EINTR.
// Every other request, and every other descriptor, goes to the real function unchanged (glibc's
// tcdrain does not call ioctl() through the symbol, so it is wrapped itself).
//
// Used two ways: preloaded (LD_PRELOAD=libprnmodem.so, e.g. into a JVM), or linked into a test
// executable, where its functions override the C library's for the whole process.
//
// It may run very early in a process and on any thread, including small-stack ones: no static
// constructors, no allocation, about a kilobyte of stack on the modem path, nothing at all extra
// on the ioctl pass-through path beyond one load of the resolved pointer. tcdrain looks at the
// environment first and, with a state file named, at the descriptor (fstat) and, for character
// devices only, at the file: nothing a blocking drain would notice.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using IoctlFunction = int (*)(int, unsigned long, ...);

// The bits the host drives; the rest come from the printer (the state file).
constexpr unsigned kHostBits = TIOCM_DTR | TIOCM_RTS;

int syscallIoctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

std::atomic<IoctlFunction> gRealIoctl{nullptr};

IoctlFunction realIoctl() {
    IoctlFunction fn = gRealIoctl.load(std::memory_order_acquire);
    if (fn != nullptr) return fn;
    // Two threads may both resolve; they find the same function.
    const int saved = errno;
    fn = reinterpret_cast<IoctlFunction>(::dlsym(RTLD_NEXT, "ioctl"));
    if (fn == nullptr) fn = syscallIoctl;
    errno = saved;
    gRealIoctl.store(fn, std::memory_order_release);
    return fn;
}

using TcdrainFunction = int (*)(int);

int syscallTcdrain(int fd) {
    return static_cast<int>(::syscall(SYS_ioctl, fd, TCSBRK, 1));
}

std::atomic<TcdrainFunction> gRealTcdrain{nullptr};

TcdrainFunction realTcdrain() {
    TcdrainFunction fn = gRealTcdrain.load(std::memory_order_acquire);
    if (fn != nullptr) return fn;
    const int saved = errno;
    fn = reinterpret_cast<TcdrainFunction>(::dlsym(RTLD_NEXT, "tcdrain"));
    if (fn == nullptr) fn = syscallTcdrain;
    errno = saved;
    gRealTcdrain.store(fn, std::memory_order_release);
    return fn;
}

// DTR/RTS as the host last set them, per device (st_rdev). Constant-initialised.
struct HostLines {
    std::atomic<unsigned long> device{0};  // st_rdev + 1; 0 = free slot
    std::atomic<unsigned> bits{0};
};
constexpr int kHostLineSlots = 32;
HostLines gHostLines[kHostLineSlots];

// The slot of a device; a new one starts with the bits the state file gives.
HostLines* hostLines(dev_t rdev, bool create, unsigned initialBits) {
    const unsigned long key = static_cast<unsigned long>(rdev) + 1;
    for (HostLines& slot : gHostLines) {
        unsigned long current = slot.device.load(std::memory_order_acquire);
        if (current == key) return &slot;
        if (current == 0) {
            if (!create) return nullptr;
            slot.bits.store(initialBits);  // may race only with another first use
            if (slot.device.compare_exchange_strong(current, key, std::memory_order_acq_rel))
                return &slot;
            if (current == key) return &slot;
        }
    }
    return nullptr;
}

bool sameDevice(const char* entry, const char* fdTarget, const struct stat& fdStat) {
    if (std::strcmp(entry, fdTarget) == 0) return true;
    // The entry may name a symlink to the device, or the code under test may have opened one.
    struct stat entryStat;
    if (::stat(entry, &entryStat) != 0) return false;
    if (S_ISCHR(entryStat.st_mode)) return entryStat.st_rdev == fdStat.st_rdev;
    return entryStat.st_dev == fdStat.st_dev && entryStat.st_ino == fdStat.st_ino;
}

// One device's line in the state file.
struct Entry {
    unsigned bits = 0;
    unsigned outq = 0;  // bytes stuck in the output queue; 0: the line takes data
};

// A descriptor's device as the state file is matched against it.
struct Line {
    struct stat st;
    char target[256];  // what /proc/self/fd/N points at
};

// False when fd is not a character device (so no serial line) or cannot be resolved.
bool describeDescriptor(int fd, Line* line) {
    if (::fstat(fd, &line->st) != 0 || !S_ISCHR(line->st.st_mode)) return false;
    char link[32] = "/proc/self/fd/";
    {
        char digits[12];
        int n = 0;
        unsigned v = static_cast<unsigned>(fd);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        size_t at = std::strlen(link);
        while (n > 0) link[at++] = digits[--n];
        link[at] = '\0';
    }
    const ssize_t length = ::readlink(link, line->target, sizeof line->target - 1);
    if (length <= 0) return false;
    line->target[length] = '\0';
    return true;
}

// Parses "<path> <hex> [field...]"; true and the entry when the path is this line's device.
// Fields other than outq=<n> are skipped.
bool matchLine(char* text, const Line& line, Entry* entry) {
    char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    char* path = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    if (*p == '\0' || p == path) return false;
    *p++ = '\0';
    char* end = nullptr;
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p) return false;
    if (!sameDevice(path, line.target, line.st)) return false;
    entry->bits = static_cast<unsigned>(value);
    entry->outq = 0;
    for (p = end;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        if (std::strncmp(p, "outq=", 5) == 0)
            entry->outq = static_cast<unsigned>(std::strtoul(p + 5, nullptr, 10));
        while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    }
    return true;
}

const char* stateFile() {
    const char* file = std::getenv("PRNSIM_MODEM_FILE");
    return file != nullptr && *file != '\0' ? file : nullptr;
}

// The entry of the line's device, if the state file lists it.
bool lookupEntry(const char* file, const Line& line, Entry* entry) {
    const int in = ::open(file, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    bool found = false;
    char chunk[256];
    char text[256];
    size_t used = 0;
    bool overlong = false;
    for (;;) {
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        const bool eof = n <= 0;
        for (ssize_t i = 0; !found && i <= (eof ? 0 : n - 1); ++i) {
            const char c = eof ? '\n' : chunk[i];
            if (c != '\n') {
                if (used + 1 < sizeof text)
                    text[used++] = c;
                else
                    overlong = true;  // not a line we wrote; skip it
                continue;
            }
            text[used] = '\0';
            if (!overlong && used > 0) found = matchLine(text, line, entry);
            used = 0;
            overlong = false;
        }
        if (found || eof) break;
    }
    ::close(in);
    return found;
}

// The entry for fd, if it is a listed device.
bool lookupDescriptor(int fd, Line* line, Entry* entry) {
    const char* file = stateFile();
    return file != nullptr && describeDescriptor(fd, line) && lookupEntry(file, *line, entry);
}

// Serves a modem request on a simulated line. False: not a simulated line, pass it on.
bool serveModemRequest(int fd, unsigned long request, int* arg, int* result) {
    Line line;
    Entry entry;
    if (!lookupDescriptor(fd, &line, &entry)) return false;
    const unsigned printerBits = entry.bits;

    if (arg == nullptr) {
        errno = EFAULT;
        *result = -1;
        return true;
    }
    HostLines* host = hostLines(line.st.st_rdev, request != TIOCMGET, printerBits & kHostBits);
    switch (request) {
        case TIOCMGET: {
            const unsigned hostBits = host != nullptr ? host->bits.load() : printerBits & kHostBits;
            *arg = static_cast<int>((printerBits & ~kHostBits) | (hostBits & kHostBits));
            break;
        }
        case TIOCMSET:
            if (host) host->bits.store(static_cast<unsigned>(*arg) & kHostBits);
            break;
        case TIOCMBIS:
            if (host) host->bits.fetch_or(static_cast<unsigned>(*arg) & kHostBits);
            break;
        default:  // TIOCMBIC
            if (host) host->bits.fetch_and(~(static_cast<unsigned>(*arg) & kHostBits));
            break;
    }
    *result = 0;
    return true;
}

// TIOCOUTQ on a line whose queue is stuck. False: pass it on.
bool serveOutputQueue(int fd, int* arg, int* result) {
    Line line;
    Entry entry;
    if (!lookupDescriptor(fd, &line, &entry) || entry.outq == 0) return false;
    if (arg == nullptr) {
        errno = EFAULT;
        *result = -1;
    } else {
        *arg = static_cast<int>(entry.outq);
        *result = 0;
    }
    return true;
}

constexpr long kDrainLookMs = 20;

// Waits one look interval. A read of a timerfd is restarted after a handler installed with
// SA_RESTART and fails with EINTR after one without, as the kernel's drain wait does; nanosleep
// never restarts, so it is only the fallback and then the wait goes on.
bool waitOneLook() {
    const itimerspec once{{0, 0}, {0, kDrainLookMs * 1000000}};
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer >= 0) {
        uint64_t expirations = 0;
        ssize_t n = -1;
        if (::timerfd_settime(timer, 0, &once, nullptr) == 0)
            n = ::read(timer, &expirations, sizeof expirations);
        const int error = errno;
        ::close(timer);
        if (n > 0) return true;
        if (n < 0 && error == EINTR) {
            errno = EINTR;
            return false;
        }
    }
    timespec step = once.it_value;
    while (::nanosleep(&step, &step) != 0 && errno == EINTR) {
    }
    return true;
}

enum class Drain { NotHeld, Released, Interrupted };

// Holds the caller while fd's device has a stuck output queue.
Drain waitWhileStuck(int fd) {
    Line line;
    Entry entry;
    if (!lookupDescriptor(fd, &line, &entry) || entry.outq == 0) return Drain::NotHeld;
    do {
        if (!waitOneLook()) return Drain::Interrupted;
        const char* file = stateFile();
        if (file == nullptr || !lookupEntry(file, line, &entry)) break;  // the line is gone
    } while (entry.outq != 0);
    return Drain::Released;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        const int saved = errno;
        int result = 0;
        if (serveModemRequest(fd, request, static_cast<int*>(arg), &result)) return result;
        errno = saved;
    } else if (request == TIOCOUTQ) {
        const int saved = errno;
        int result = 0;
        if (serveOutputQueue(fd, static_cast<int*>(arg), &result)) return result;
        errno = saved;
    } else if (request == TCSBRK || request == TCSBRKP) {
        const int saved = errno;
        if (waitWhileStuck(fd) == Drain::Interrupted) return -1;
        errno = saved;
    }
    return realIoctl()(fd, request, arg);
}

extern "C" __attribute__((visibility("default"))) int tcdrain(int fd) {
    const int saved = errno;
    switch (waitWhileStuck(fd)) {
        case Drain::Interrupted:
            return -1;
        case Drain::Released:
            errno = saved;
            return 0;
        case Drain::NotHeld:
            break;
    }
    errno = saved;
    return realTcdrain()(fd);
}
