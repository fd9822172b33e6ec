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
//
// It also stands in for the kernel's parallel port driver (ppdev) on devices whose line carries
// the field "ppdev" ("<path> <hex> ppdev status=<hex> reverse=0|1 held=0|1"): a pty whose master
// the virtual printer holds. The rules are the kernel's, kept per descriptor as the kernel keeps
// them per open file:
//  - until PPCLAIM succeeds every ppdev request fails with EINVAL, and so do read() and write();
//    PPCLAIM fails with EBUSY while held=1 (someone else has the port) or while another
//    descriptor of this process has it claimed, with EINVAL on a descriptor that already has
//    it. A claim starts in compatibility mode; PPRELEASE and close() end it.
//  - PPNEGOT: compatibility mode always; nibble mode only with reverse=1, else EIO after 47 ms
//    (the kernel waits that long for a peripheral that never answers the negotiation; measured
//    on its ppdev over an emulated port); any other mode EIO. A failed negotiation leaves the
//    port in compatibility mode, as the kernel goes back to it before it negotiates; asking for
//    the mode the port is in succeeds at once.
//  - PPRSTATUS: the status byte; PPGETMODE: the mode. Other ppdev requests on a claimed port are
//    not modelled: ENOTTY.
//  - write() goes back to compatibility mode first, then waits for the printer: while the
//    status says busy (0x80 clear) or fault (0x08 clear) a non-blocking write fails with EAGAIN
//    and a blocking one waits, looking at the file every 20 ms. Then at most 1024 bytes go to
//    the pty, at 5 us a byte; a PPNEGOT on the port meanwhile (another thread's) loses the
//    second half of them, while the write reports them all, as a mode changed under a transfer
//    does on a real port.
//  - read() in compatibility mode negotiates nibble mode first (EIO when refused, after 100 ms,
//    as measured there too), then reads the pty (EAGAIN when nothing waits on a non-blocking
//    descriptor).
// A small table holds the descriptors that asked a fake port anything, with their device, claim
// and mode. close() takes a descriptor out of it before it closes it (so a new descriptor with
// the same number starts unclaimed); each use also checks that the descriptor still names the
// same device (st_rdev), which catches a number reused through dup2() or close_range(). read(),
// write() and close() of every other descriptor cost one load of the table's count while no
// descriptor is in the table, and a scan of its few slots otherwise, before the C library's.
// __read_chk (what read() becomes with _FORTIFY_SOURCE) is wrapped too.
//
// And it stands in for the kernel's USB printer driver (usblp) on devices whose line carries the
// field "usblp" ("<path> 0x0 usblp [eio=<token>] [id=<device ID>]"): a pty whose master the
// virtual printer holds, behind a link it removes on unplug. One open at a time (EBUSY), one
// failed read (EIO) each time the printer writes a new token (a decimal number, never 0), and
// LPIOC_GET_DEVICE_ID answered from id=, whose text has "%XX" for a space, '%' and any byte
// outside printable ASCII. The rules, and the wrapped opens they need, are in UsblpNode.cpp;
// the ioctl, read and close here hand those devices over to it. The modem requests pass a
// USB node's line by: the pty answers them, as the driver does not know them either.
//
// And any listed line (a modem line, a USB node, a parallel port) can be short of room: with the
// field "room=<token>:<n>" the host's writes hand over at most n more bytes (a write that would
// cross the limit takes what is left), then fail with EAGAIN until the field goes; each new token
// grants its n bytes afresh. The rule is in RoomLimit.cpp; the opens (UsblpNode.cpp), write and
// close here hand those descriptors over to it.
//
// Every line has at most 511 characters; the file's one reader is StateFile.cpp.
//
// Used two ways: preloaded (LD_PRELOAD=libprnmodem.so, e.g. into a JVM), or linked into a test
// executable, where its functions override the C library's for the whole process.
//
// It may run very early in a process and on any thread, including small-stack ones: no static
// constructors, no allocation, about a kilobyte of stack on the modem path (two for a device
// ID), nothing at all extra on the ioctl pass-through path beyond one load of the resolved
// pointer. tcdrain looks at the environment first and, with a state file named, at the
// descriptor (fstat) and, for character devices only, at the file: nothing a blocking drain
// would notice.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
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

#include "RoomLimit.h"
#include "StateFile.h"
#include "UsblpNode.h"

namespace {

using namespace prnshim;

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

// Serves a modem request on a simulated line. False: not a simulated line, pass it on (a USB
// printer node has no modem lines either).
bool serveModemRequest(int fd, unsigned long request, int* arg, int* result) {
    Line line;
    Entry entry;
    if (!lookupDescriptor(fd, &line, &entry) || entry.usblp) return false;
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
            n = realRead()(timer, &expirations, sizeof expirations);
        const int error = errno;
        realClose()(timer);
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

// --- parallel ports ---

// A descriptor that asked a fake port something. Constant-initialised; slots are taken and
// given back under gPortLock, and read without it.
struct Port {
    std::atomic<int> key{0};               // descriptor + 1; 0: free
    std::atomic<unsigned long> device{0};  // st_rdev
    std::atomic<bool> claimed{false};
    std::atomic<int> mode{IEEE1284_MODE_COMPAT};
    std::atomic<unsigned> negotiations{0};  // PPNEGOT requests served, to see one mid-transfer
};
constexpr int kPortSlots = 32;
Port gPorts[kPortSlots];
std::atomic<int> gPortCount{0};  // slots in use: 0 keeps read, write and close on the fast path
std::atomic_flag gPortLock = ATOMIC_FLAG_INIT;

class PortLock {
  public:
    PortLock() {
        while (gPortLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~PortLock() { gPortLock.clear(std::memory_order_release); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
};

Port* findPort(int fd) {
    const int key = fd + 1;
    for (Port& port : gPorts)
        if (port.key.load(std::memory_order_acquire) == key) return &port;
    return nullptr;
}

// With gPortLock held.
void freePort(Port* port) {
    port->claimed.store(false);
    port->key.store(0, std::memory_order_release);
    gPortCount.fetch_sub(1);
}

// The slot of fd on its device; a new one, unclaimed, when it has none (nullptr: table full).
// A slot left from an earlier descriptor with this number (another device) is started afresh.
Port* portOf(int fd, dev_t rdev) {
    PortLock lock;
    const unsigned long device = static_cast<unsigned long>(rdev);
    Port* port = findPort(fd);
    if (port != nullptr && port->device.load() == device) return port;
    if (port != nullptr) freePort(port);
    for (Port& slot : gPorts) {
        if (slot.key.load(std::memory_order_relaxed) != 0) continue;
        slot.device.store(device);
        slot.claimed.store(false);
        slot.mode.store(IEEE1284_MODE_COMPAT);
        gPortCount.fetch_add(1);
        slot.key.store(fd + 1, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

// Claims the port for its descriptor; EBUSY while another descriptor of ours has the device.
int claimPort(Port* port) {
    PortLock lock;
    if (port->claimed.load()) return EINVAL;
    for (const Port& other : gPorts) {
        if (&other != port && other.key.load() != 0 && other.claimed.load() &&
            other.device.load() == port->device.load())
            return EBUSY;
    }
    port->mode.store(IEEE1284_MODE_COMPAT);
    port->claimed.store(true);
    return 0;
}

// fd's device as the state file lists it, when that is a fake parallel port.
bool lookupParport(int fd, Line* line, Entry* entry) {
    return lookupDescriptor(fd, line, entry) && entry->ppdev;
}

constexpr unsigned char kReadyLines = PARPORT_STATUS_BUSY | PARPORT_STATUS_ERROR;

// How long the kernel's ppdev takes to give up a nibble negotiation that the printer does not
// answer: by PPNEGOT, and by a read in compatibility mode.
constexpr long kRefusedNegotiationMs = 47;
constexpr long kRefusedReadNegotiationMs = 100;

void waitOutRefusal(long ms) {
    timespec wait{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// A ppdev request on fd. False: not a fake port, pass it on.
bool serveParport(int fd, unsigned long request, void* arg, int* result) {
    Line line;
    Entry entry;
    if (!lookupParport(fd, &line, &entry)) return false;
    Port* port = portOf(fd, line.st.st_rdev);
    if (port == nullptr) {  // more fake ports open than the table holds
        *result = fail(ENOMEM);
        return true;
    }
    if (request == PPCLAIM) {
        const int error = entry.held ? EBUSY : claimPort(port);
        *result = error == 0 ? 0 : fail(error);
        return true;
    }
    if (!port->claimed.load()) {
        *result = fail(EINVAL);
        return true;
    }
    *result = 0;
    switch (request) {
        case PPRELEASE:
            port->claimed.store(false);
            break;
        case PPNEGOT: {
            if (arg == nullptr) {
                *result = fail(EFAULT);
                break;
            }
            port->negotiations.fetch_add(1);
            const int wanted = *static_cast<int*>(arg);
            if (wanted == port->mode.load()) break;
            port->mode.store(IEEE1284_MODE_COMPAT);  // the way to any mode leads through it
            if (wanted == IEEE1284_MODE_COMPAT) break;
            if (wanted == IEEE1284_MODE_NIBBLE && entry.reverse) {
                port->mode.store(IEEE1284_MODE_NIBBLE);
            } else {
                if (wanted == IEEE1284_MODE_NIBBLE) waitOutRefusal(kRefusedNegotiationMs);
                *result = fail(EIO);
            }
            break;
        }
        case PPRSTATUS:
            if (arg == nullptr)
                *result = fail(EFAULT);
            else
                *static_cast<unsigned char*>(arg) = entry.status;
            break;
        case PPGETMODE:
            if (arg == nullptr)
                *result = fail(EFAULT);
            else
                *static_cast<int*>(arg) = port->mode.load();
            break;
        default:
            *result = fail(ENOTTY);
            break;
    }
    return true;
}

// The slot of fd when it still names the device it was taken for; a stale one is freed.
Port* currentPort(int fd, Line* line, Entry* entry) {
    Port* port = findPort(fd);
    if (port == nullptr) return nullptr;
    if (lookupParport(fd, line, entry) &&
        port->device.load() == static_cast<unsigned long>(line->st.st_rdev))
        return port;
    PortLock lock;
    if (findPort(fd) == port) freePort(port);
    return nullptr;
}

// A read on a fake port. False: pass it on to the pty.
bool serveParportRead(int fd, ssize_t* result) {
    const int saved = errno;
    Line line;
    Entry entry;
    Port* port = currentPort(fd, &line, &entry);
    errno = saved;
    if (port == nullptr) return false;
    if (!port->claimed.load()) {
        *result = fail(EINVAL);
        return true;
    }
    if (port->mode.load() == IEEE1284_MODE_COMPAT) {
        if (!entry.reverse) {
            waitOutRefusal(kRefusedReadNegotiationMs);
            *result = fail(EIO);
            return true;
        }
        port->mode.store(IEEE1284_MODE_NIBBLE);
    }
    return false;
}

// A forward transfer as the port makes it: at most one buffer of the driver's per
// non-blocking write, at the pace of a port strobing bytes out (5 us a byte). A negotiation on
// the port while the bytes go out changes the mode under them: the printer loses the rest of
// the transfer, and the write still reports all of it, as the hardware cannot tell.
constexpr size_t kTransferBuffer = 1024;
constexpr long kNanosPerByte = 5000;

ssize_t transfer(int fd, Port* port, const void* data, size_t size) {
    if (size > kTransferBuffer) size = kTransferBuffer;
    const unsigned before = port->negotiations.load();
    timespec pace{0, static_cast<long>(size) * kNanosPerByte};
    while (::nanosleep(&pace, &pace) != 0 && errno == EINTR) {
    }
    if (port->negotiations.load() == before) return realWrite()(fd, data, size);
    const ssize_t sent = realWrite()(fd, data, size / 2);
    return sent == static_cast<ssize_t>(size / 2) ? static_cast<ssize_t>(size) : sent;
}

// A write on a fake port. False: pass it on to the pty.
bool serveParportWrite(int fd, const void* data, size_t size, ssize_t* result) {
    const int saved = errno;
    Line line;
    Entry entry;
    Port* port = currentPort(fd, &line, &entry);
    if (port == nullptr) {
        errno = saved;
        return false;
    }
    if (!port->claimed.load()) {
        *result = fail(EINVAL);
        return true;
    }
    port->mode.store(IEEE1284_MODE_COMPAT);
    while ((entry.status & kReadyLines) != kReadyLines) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_NONBLOCK) != 0) {
            *result = fail(EAGAIN);
            return true;
        }
        if (!waitOneLook()) {
            *result = -1;  // EINTR
            return true;
        }
        const char* file = stateFile();
        if (file == nullptr || !lookupEntry(file, line, &entry)) break;  // the port is gone
    }
    // A line with little room takes what is left of it, then nothing.
    const size_t allowed = roomFor(line, entry, size);
    if (allowed == 0 && size > 0) {
        *result = fail(EAGAIN);
        return true;
    }
    errno = saved;
    *result = transfer(fd, port, data, allowed);
    tookRoom(line, entry, *result);
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
    } else if (request == TIOCOUTQ) {
        const int saved = errno;
        int result = 0;
        if (serveOutputQueue(fd, static_cast<int*>(arg), &result)) return result;
        errno = saved;
    } else if (_IOC_TYPE(request) == PP_IOCTL && _IOC_NR(request) >= 0x80) {
        const int saved = errno;
        int result = 0;
        if (serveParport(fd, request, arg, &result)) return result;
        errno = saved;
    } else if (request == TCSBRK || request == TCSBRKP) {
        const int saved = errno;
        if (waitWhileStuck(fd) == Drain::Interrupted) return -1;
        errno = saved;
    } else if (isDeviceIdRequest(request)) {
        const int saved = errno;
        int result = 0;
        if (serveDeviceId(fd, request, arg, &result)) return result;
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

extern "C" __attribute__((visibility("default"))) ssize_t read(int fd, void* data, size_t size) {
    if (gPortCount.load(std::memory_order_acquire) != 0) {
        ssize_t result = 0;
        if (serveParportRead(fd, &result)) return result;
    }
    if (usblpNodesOpen()) {
        ssize_t result = 0;
        if (serveUsblpRead(fd, &result)) return result;
    }
    return realRead()(fd, data, size);
}

extern "C" __attribute__((noreturn)) void __chk_fail();

// read() as code built with _FORTIFY_SOURCE calls it when it knows the buffer's size; the C
// library's goes straight to the system call.
extern "C" __attribute__((visibility("default"))) ssize_t __read_chk(int fd, void* data,
                                                                     size_t size, size_t capacity) {
    if (size > capacity) __chk_fail();
    return read(fd, data, size);
}

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data,
                                                                size_t size) {
    if (gPortCount.load(std::memory_order_acquire) != 0) {
        ssize_t result = 0;
        if (serveParportWrite(fd, data, size, &result)) return result;
    }
    if (listedLinesOpen()) {
        ssize_t result = 0;
        if (serveRoomWrite(fd, data, size, &result)) return result;
    }
    return realWrite()(fd, data, size);
}

// Ends the claim (or the node's open) and forgets the descriptor before the number can be given
// out again.
extern "C" __attribute__((visibility("default"))) int close(int fd) {
    if (gPortCount.load(std::memory_order_acquire) != 0 && findPort(fd) != nullptr) {
        PortLock lock;
        if (Port* port = findPort(fd)) freePort(port);
    }
    if (usblpNodesOpen()) forgetUsblpOpen(fd);
    if (listedLinesOpen()) forgetLineOpen(fd);
    return realClose()(fd);
}
