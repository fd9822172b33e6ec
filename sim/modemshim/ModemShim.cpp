// Modem lines for ptys that stand in for serial printers.
//
// A pty has no modem status: TIOCMGET fails with ENOTTY. This file defines ioctl() and serves
// TIOCMGET / TIOCMSET / TIOCMBIS / TIOCMBIC itself for the devices listed in the state file named
// by PRNSIM_MODEM_FILE (lines "<device path> <TIOCM bits in hex>", written by the virtual printer);
// every other request, and every other descriptor, goes to the real ioctl unchanged.
//
// Used two ways: preloaded (LD_PRELOAD=libprnmodem.so, e.g. into a JVM), or linked into a test
// executable, where its ioctl overrides the C library's for the whole process.
//
// It may run very early in a process and on any thread, including small-stack ones: no static
// constructors, no allocation, a few hundred bytes of stack on the modem path, nothing at all
// extra on the pass-through path beyond one load of the resolved pointer.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

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

// Parses "<path> <hex>"; true and the bits when the path is this descriptor's device.
bool matchLine(char* line, const char* fdTarget, const struct stat& fdStat, unsigned* bits) {
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    char* path = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    if (*p == '\0' || p == path) return false;
    *p++ = '\0';
    char* end = nullptr;
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p) return false;
    if (!sameDevice(path, fdTarget, fdStat)) return false;
    *bits = static_cast<unsigned>(value);
    return true;
}

// The printer-driven bits for fd, if its device is listed in the state file.
bool lookupModemBits(int fd, const struct stat& fdStat, unsigned* bits) {
    const char* file = std::getenv("PRNSIM_MODEM_FILE");
    if (file == nullptr || *file == '\0') return false;

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
    char target[256];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';

    const int in = ::open(file, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    bool found = false;
    char chunk[256];
    char line[256];
    size_t used = 0;
    bool overlong = false;
    for (;;) {
        const ssize_t n = ::read(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        const bool eof = n <= 0;
        for (ssize_t i = 0; !found && i <= (eof ? 0 : n - 1); ++i) {
            const char c = eof ? '\n' : chunk[i];
            if (c != '\n') {
                if (used + 1 < sizeof line)
                    line[used++] = c;
                else
                    overlong = true;  // not a line we wrote; skip it
                continue;
            }
            line[used] = '\0';
            if (!overlong && used > 0) found = matchLine(line, target, fdStat, bits);
            used = 0;
            overlong = false;
        }
        if (found || eof) break;
    }
    ::close(in);
    return found;
}

// Serves a modem request on a simulated line. False: not a simulated line, pass it on.
bool serveModemRequest(int fd, unsigned long request, int* arg, int* result) {
    struct stat fdStat;
    if (::fstat(fd, &fdStat) != 0 || !S_ISCHR(fdStat.st_mode)) return false;
    unsigned printerBits = 0;
    if (!lookupModemBits(fd, fdStat, &printerBits)) return false;

    if (arg == nullptr) {
        errno = EFAULT;
        *result = -1;
        return true;
    }
    HostLines* host = hostLines(fdStat.st_rdev, request != TIOCMGET, printerBits & kHostBits);
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
    }
    return realIoctl()(fd, request, arg);
}
