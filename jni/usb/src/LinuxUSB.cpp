#include "LinuxUSB.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Deliverable.h"
#include "DeviceState.h"
#include "Line.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"

USBPort usbPort{0, {}, kNoNode, {}, 0};

namespace {

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr long kCommandChunk = 64;
constexpr long kDataChunk = 1024;
constexpr uint32_t kChunkPauseMs = 10;
constexpr uint32_t kPollStepMs = 20;
// How long a busy printer may take no byte at all before a write gives up: the same allowance
// as the serial and parallel writers.
constexpr uint32_t kNoProgressAllowanceMs = 5000;
// The printer driver's request for the IEEE 1284 device ID, as many bytes as len allows.
constexpr unsigned long DeviceIdRequest(size_t len) {
    return _IOC(_IOC_READ, 'P', 1, len);
}

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord() {
    usbPort.set = 0;
    std::memset(usbPort.portName, 0, sizeof usbPort.portName);
    usbPort.deviceIdLength = 0;
}

// The device ID the node gives, or 0 bytes when it gives none (not a printer node, or it
// failed).
size_t ReadDeviceId(int fd, uint8_t (&id)[kDeviceIdRoom]) {
    std::memset(id, 0, sizeof id);
    if (ioctl(fd, DeviceIdRequest(sizeof id), id) != 0) return 0;
    size_t length = static_cast<size_t>(id[0]) << 8 | id[1];
    if (length < 2) return 0;
    return length < sizeof id ? length : sizeof id;
}

// The node reports a hang-up or an error without being asked (a disconnected device; a
// stand-in whose other side has gone reads 0 rather than failing).
bool HungUp(int fd) {
    pollfd state{fd, 0, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool Refused() { return WritesRefused(); }

// The node held is still the printer's: it has not hung up, and its path still names the same
// device. The printer driver answers a failed transfer on a printer that is still there (a
// noisy cable, a stalled endpoint) with one read of EIO and goes on.
bool StillThere(int fd) {
    if (fd < 0 || HungUp(fd)) return false;
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && stat(usbPort.portName, &named) == 0 &&
           S_ISCHR(named.st_mode) && held.st_rdev == named.st_rdev;
}

// One write of what the node takes now (line::PutBytes): the count, 0 for no room, -1 for a
// node that failed.
long UsbPutBytes(int fd, const uint8_t* data, long length) {
    const ssize_t took = write(fd, data, static_cast<size_t>(length));
    trace::Out(data, took);
    if (took >= 0) return took;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

struct Chunking {
    long chunk;        // most bytes handed to the node at once
    uint32_t pauseMs;  // after every write that took something
    bool watchFlags;   // stop before the next write once the printer reports itself not ready
};

// Hands data to the node, a chunk at a time. A busy printer (it cuts, feeds or prints a logo)
// takes nothing for a while: the write fails with EAGAIN, or takes 0 bytes. That is waited
// out, a step at a time, for as long as the node takes something within the allowance. Ends
// early when the port is closed or replaced, the node is gone or fails, or (watchFlags) the
// printer reports cover open, paper end or offline. The count handed over; *failed tells
// whether the node refused the data (an error other than having no room, or a hang-up).
long PutBytes(const line::Use& use, const uint8_t* data, long length, const Chunking& how,
              bool* failed = nullptr) {
    if (failed != nullptr) *failed = false;
    const int fd = use.fd();
    long total = 0;
    uint32_t lastProgress = timeGetTime();
    while (total < length) {
        if (use.stopping()) break;
        if (how.watchFlags && Refused()) break;
        const long size = length - total < how.chunk ? length - total : how.chunk;
        const ssize_t took = write(fd, data + total, static_cast<size_t>(size));
        trace::Out(data + total, took);
        if (took > 0) {
            total += took;
            lastProgress = timeGetTime();
            if (how.pauseMs != 0) LoopSleep(how.pauseMs);
            continue;
        }
        if (took < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            if (failed != nullptr) *failed = true;
            break;
        }
        if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) break;
        if (took == 0) {
            // The node says it took nothing and has no reason: try again after the pause.
            LoopSleep(kChunkPauseMs);
            continue;
        }
        pollfd room{fd, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(kPollStepMs)) > 0 &&
            (room.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if (failed != nullptr) *failed = true;  // gone while we waited
            break;
        }
    }
    return total;
}

// The open probe's requests go straight to the node, in their own write turn: no refusal flag
// can hold them back, and no other job runs meanwhile.
void SendProbeRequest(const uint8_t* request, long length) {
    const uint32_t session = line::Session();
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!turn || !use.ok()) return;
    PutBytes(use, request, length, Chunking{kCommandChunk, 0, false});
}

// The printer driver moves what a write handed it after the write has returned, and closing the
// node cancels a transfer still under way. Waits, bounded, until the node has room again (its
// last transfer is done), has hung up, or fails.
void AwaitLastTransfer(int fd) {
    const uint32_t start = timeGetTime();
    while (ElapsedSince(start, timeGetTime()) < kNoProgressAllowanceMs) {
        pollfd room{fd, POLLOUT, 0};
        const int ready = poll(&room, 1, static_cast<int>(kPollStepMs));
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    }
}

}  // namespace

long OpenPort(const char* portName) {
    const line::Lifecycle hold;
    // A node left open by an earlier open is closed, not leaked.
    if (line::Current() != kNoNode) ClosePort();
    ClearRecord();
    usbPort.set = 1;
    if (portName == nullptr || std::strlen(portName) >= kNodePathRoom) {
        return BRELON_ERROR_NOT_OPEN;
    }
    std::strcpy(usbPort.portName, portName);
    const int fd = open(usbPort.portName, kOpenFlags);
    if (fd < 0) return BRELON_ERROR_NOT_OPEN;
    // Which printer this is: a node that comes back under the path after an unplug must be it.
    usbPort.deviceIdLength = ReadDeviceId(fd, usbPort.deviceId);
    line::Install(fd, true);
    // Nothing is drained first: bytes already waiting are read with the reply, and only the
    // last byte of a read counts.
    return ReadinessProbe(&SendProbeRequest, 0);
}

long ClosePort() {
    const line::Lifecycle hold;
    // No monitor may outlive the descriptor (also one still trying to reopen an unplugged node);
    // readers and writers give up within one step.
    StopMonitor();
    const int fd = line::Retire(true);
    if (fd != kNoNode) {
        AwaitLastTransfer(fd);
        // Only the unread input is dropped. A printer node is no terminal and refuses this
        // (ENOTTY): harmless.
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
    ClearRecord();
    return BRELON_ERROR_SUCCESS;
}

long WritePort(const uint8_t* writeBuffer, long length) {
    const uint32_t session = line::Session();
    if (line::Current() == kNoNode) return BRELON_ERROR_NOT_OPEN;
    // One writer at a time, for the whole command: nothing else lands inside its bytes.
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (!turn) return BRELON_ERROR_IO_FAIL;  // the port is being closed
    if (Refused()) return BRELON_ERROR_IO_FAIL;
    if (length <= 0) return 0;
    if (!line::SettleOwed(use, &UsbPutBytes, kNoProgressAllowanceMs)) return BRELON_ERROR_IO_FAIL;
    // A command goes out whole or fails: once begun, a status report does not cut it short. One
    // of ours that went out in part owes the rest.
    const long put =
        PutBytes(use, writeBuffer, length, Chunking{kCommandChunk, kChunkPauseMs, false});
    if (put > 0 && put < length && line::InCommand()) line::Owe(writeBuffer + put, length - put);
    return put == length ? length : long{BRELON_ERROR_IO_FAIL};
}

long WritePortTimeout(const uint8_t* writeBuffer, long length, long /*Timeout*/) {
    const uint32_t session = line::Session();
    if (line::Current() == kNoNode) return BRELON_ERROR_NOT_OPEN;
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (!turn) return BRELON_ERROR_IO_FAIL;
    if (Refused()) return BRELON_ERROR_IO_FAIL;
    if (length <= 0) return 0;
    if (!line::SettleOwed(use, &UsbPutBytes, kNoProgressAllowanceMs)) return BRELON_ERROR_IO_FAIL;
    bool failed = false;
    const long put =
        PutBytes(use, writeBuffer, length, Chunking{kDataChunk, kChunkPauseMs, true}, &failed);
    // A node that refused the very first bytes (unplugged before the monitor has seen it) is a
    // failure, not a count of nothing; once some went out, the count tells how much.
    return put == 0 && failed ? long{BRELON_ERROR_IO_FAIL} : put;
}

long ReadPortPrv(uint8_t* readBuffer, long length, long /*minLength*/, long timeMillis) {
    const line::Use use;
    if (!use.ok() || length < 0) return BRELON_ERROR_NOT_OPEN;
    // The whole wait, in steps of 20 ms, whether or not bytes arrive meanwhile; a close or a
    // replacement of the node ends it.
    for (long remaining = timeMillis; remaining > 0; remaining -= kPollStepMs) {
        if (use.stopping()) return BRELON_ERROR_NOT_OPEN;
        LoopSleep(kPollStepMs);
    }
    if (use.stopping()) return BRELON_ERROR_NOT_OPEN;
    // Nothing waiting fails (EAGAIN) and gives -1: callers know that answer.
    const ssize_t got = read(use.fd(), readBuffer, static_cast<size_t>(length));
    trace::In(readBuffer, got);
    return got < 0 ? long{BRELON_ERROR_NOT_OPEN} : static_cast<long>(got);
}

long ReadPort(uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(readBuffer, length, 1, 200);
}

// ---- The bridge's side of the USB transport ----

// The settings text is not used: a printer node has nothing to set.
long OpenFromJava(const char* portText, const char* /*settingsText*/) {
    return OpenPort(portText);
}

long WriteFromJava(const uint8_t* data, long length) {
    return WritePortTimeout(data, length, 0);
}

// ---- The monitor's hooks ----

namespace {

// The node is gone (unplugged): reported offline at once, and the monitor reopens it.
BatchRead NodeLost(long n) {
    // The refusal flag first: a caller that sees 8 and writes at once is refused at once.
    m_bOffline = 1;
    PrinterStatusResult = kStatusOffline;
    return {n, ReadOutcome::Reopen};
}

BatchRead UsbReadBatch(int fd, uint8_t* buffer, long length, DecodeMode /*mode*/) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(length));
    trace::In(buffer, got);
    if (got > 0) {
        m_bOffline = 0;
        return {got, ReadOutcome::Decode};
    }
    // The driver answers ENODEV once the device is unplugged. Any other failure (EIO for a
    // transfer that failed, EPIPE for a stalled endpoint), nothing waiting (EAGAIN), or a transfer
    // of no bytes is no block this pass, as long as the node is still there: not hung up, and
    // its path names the same device. A stand-in whose other side has gone reads 0 and hangs up.
    const bool unplugged = got < 0 && errno == ENODEV;
    if (unplugged || !StillThere(fd)) return NodeLost(got);
    m_bOffline = 0;
    return {got, ReadOutcome::Decode};
}

// The path again, for a node that was lost: ours again only when it gives the device ID the
// printer gave at open (where both give one).
Reopened UsbOpenAgain(int held, int* fd) {
    const int reopened = open(usbPort.portName, kOpenFlags);
    if (reopened < 0) {
        // The driver allows one open of a node at a time: the one held still works.
        if (errno == EBUSY && StillThere(held)) return Reopened::HeldStillWorks;
        return Reopened::NotYet;
    }
    if (usbPort.deviceIdLength != 0) {
        uint8_t id[kDeviceIdRoom];
        const size_t length = ReadDeviceId(reopened, id);
        if (length != 0 && (length != usbPort.deviceIdLength ||
                            std::memcmp(id, usbPort.deviceId, length) != 0)) {
            close(reopened);
            return Reopened::OtherPrinter;
        }
    }
    *fd = reopened;
    return Reopened::Back;
}

}  // namespace

const Deliverable kDeliverable{
    .variant = kUsbVariant,
    .monitor =
        {
            .checkLine = nullptr,
            .waitOutOffline = false,
            .lineGone = nullptr,
            .readBatch = &UsbReadBatch,
            .openAgain = &UsbOpenAgain,
        },
    .putBytes = &UsbPutBytes,
    .descriptor = &usbPort.port,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
