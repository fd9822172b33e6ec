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
#include "Line.h"
#include "Port.h"
#include "PrinterCommands.h"
#include "PrinterState.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"
#include "Writer.h"

namespace {

USBPort g_records[kPortSlots];


constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr long kCommandChunk = 64;
constexpr long kDataChunk = 1024;
constexpr uint32_t kChunkPauseMs = 10;
constexpr uint32_t kPollStepMs = 20;

// The printer driver's request for the IEEE 1284 device ID, as many bytes as len allows.
constexpr unsigned long DeviceIdRequest(size_t len) {
    return _IOC(_IOC_READ, 'P', 1, len);
}

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord(USBPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
    record.deviceIdLength = 0;
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

// The node held is still the printer's: it has not hung up, and its path still names the same
// device. The printer driver answers a failed transfer on a printer that is still there (a
// noisy cable, a stalled endpoint) with one read of EIO and goes on.
bool StillThere(Port& port, int fd) {
    if (fd < 0 || HungUp(fd)) return false;
    struct stat held {};
    struct stat named {};
    return fstat(fd, &held) == 0 && stat(UsbRecord(port).portName, &named) == 0 &&
           S_ISCHR(named.st_mode) && held.st_rdev == named.st_rdev;
}

// One write of what the node takes now (line::PutBytes): the count, 0 for no room, -1 for a
// node that failed.
long UsbPutBytes(Port& port, int fd, const uint8_t* data, long length) {
    const ssize_t took = write(fd, data, static_cast<size_t>(length));
    trace::Out(port, data, took);
    if (took >= 0) return took;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// ---- The writers' medium: a chunk at a time, with a pause after each ----

bool UsbOpen(Port& port) { return line::Current(port) != kNoNode; }

long UsbPut(Port& port, const line::Use& use, const uint8_t* data, long length) {
    return UsbPutBytes(port, use.fd(), data, length);
}

// A busy printer (it cuts, feeds or prints a logo) takes nothing for a while: the write fails
// with EAGAIN, or takes 0 bytes. That is waited out a step at a time; a node that hangs up
// meanwhile fails the next write.
void UsbAwaitRoom(Port& /*port*/, const line::Use& use) {
    pollfd room{use.fd(), POLLOUT, 0};
    if (poll(&room, 1, static_cast<int>(kPollStepMs)) > 0 &&
        (room.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
        LoopSleep(kChunkPauseMs);  // room, but it took nothing: try again after the pause
    }
}

Ended UsbAfterPut(Port& /*port*/, const line::Use& /*use*/, uint32_t& /*lastProgress*/) {
    LoopSleep(kChunkPauseMs);
    return Ended::Done;
}

constexpr WriteMedium MediumWith(long chunk, Watch watch, bool wholeOrFail) {
    return WriteMedium{
        .open = &UsbOpen,
        .put = &UsbPut,
        .awaitRoom = &UsbAwaitRoom,
        .afterPut = &UsbAfterPut,
        .settle = nullptr,
        .prepare = nullptr,
        .recover = nullptr,
        .begin = nullptr,
        .putBytes = &UsbPutBytes,
        .chunk = chunk,
        .watch = watch,
        .wholeOrFail = wholeOrFail,
        .nothingIsZero = false,
    };
}

// Commands go out whole or fail: once begun, a status report does not cut them short.
constexpr WriteMedium kCommands = MediumWith(kCommandChunk, Watch::Nothing, true);
// Print data stops before its next chunk once the printer reports itself not ready.
constexpr WriteMedium kPrintData = MediumWith(kDataChunk, Watch::AnyRefusal, false);

// The open probe's requests go straight to the node, in their own write turn: no refusal flag
// can hold them back, and no other job runs meanwhile.
void SendProbeRequest(Port& port, const uint8_t* request, long length) {
    const uint32_t session = line::Session(port);
    const line::WriteTurn turn(port, session);
    const line::Use use(port, session);
    if (!turn || !use.ok()) return;
    line::PutCommand(use, &UsbPutBytes, request, length, kNoProgressAllowanceMs);
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

USBPort& UsbRecord(Port& port) { return g_records[port.slot < kPortSlots ? port.slot : 0]; }

long OpenPort(Port& port, const char* portName) {
    const line::Lifecycle hold(port);
    USBPort& usbPort = UsbRecord(port);
    // A node left open by an earlier open is closed, not leaked.
    if (line::Current(port) != kNoNode) ClosePort(port);
    ClearRecord(usbPort);
    usbPort.set = 1;
    if (portName == nullptr || std::strlen(portName) >= kNodePathRoom) {
        return BRELON_ERROR_NOT_OPEN;
    }
    std::strcpy(usbPort.portName, portName);
    const int fd = open(usbPort.portName, kOpenFlags);
    if (fd < 0) return BRELON_ERROR_NOT_OPEN;
    // Which printer this is: a node that comes back under the path after an unplug must be it.
    usbPort.deviceIdLength = ReadDeviceId(fd, usbPort.deviceId);
    line::Install(port, fd, true);
    // Nothing is drained first: bytes already waiting are read with the reply, and only the
    // last byte of a read counts.
    return ReadinessProbe(port, &SendProbeRequest, 0);
}

long ClosePort(Port& port) {
    const line::Lifecycle hold(port);
    // No monitor may outlive the descriptor (also one still trying to reopen an unplugged node);
    // readers and writers give up within one step.
    StopMonitor(port);
    const int fd = line::Retire(port, true);
    if (fd != kNoNode) {
        AwaitLastTransfer(fd);
        // Only the unread input is dropped. A printer node is no terminal and refuses this
        // (ENOTTY): harmless.
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
    ClearRecord(UsbRecord(port));
    return BRELON_ERROR_SUCCESS;
}

long WritePort(Port& port, const uint8_t* writeBuffer, long length) {
    return WriteJob(port, writeBuffer, length, kCommands);
}

long WritePortTimeout(Port& port, const uint8_t* writeBuffer, long length, long /*Timeout*/) {
    return WriteJob(port, writeBuffer, length, kPrintData);
}

long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long /*minLength*/,
                 long timeMillis) {
    const line::Use use(port);
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
    trace::In(port, readBuffer, got);
    return got < 0 ? long{BRELON_ERROR_NOT_OPEN} : static_cast<long>(got);
}

long ReadPort(Port& port, uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(port, readBuffer, length, 1, 200);
}

// ---- The bridge's side of the USB transport ----

// The settings text is not used: a printer node has nothing to set.
long OpenFromJava(Port& port, const char* portText, const char* /*settingsText*/) {
    return OpenPort(port, portText);
}

long WriteFromJava(Port& port, const uint8_t* data, long length) {
    return WritePortTimeout(port, data, length, 0);
}

// ---- The monitor's hooks ----

namespace {

// The node is gone (unplugged): reported offline at once, and the monitor reopens it.
BatchRead NodeLost(Port& port, long n) {
    printer::ReportOffline(port, Why::NodeLost);
    return {n, ReadOutcome::Reopen};
}

BatchRead UsbReadBatch(Port& port, int fd, uint8_t* buffer, long length, DecodeMode /*mode*/) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(length));
    const int error = errno;
    trace::In(port, buffer, got);
    if (got > 0) {
        printer::ReportOnline(port, Why::Answered);
        return {got, ReadOutcome::Decode};
    }
    // The driver answers ENODEV once the device is unplugged. Any other failure (EIO for a
    // transfer that failed, EPIPE for a stalled endpoint), nothing waiting (EAGAIN), or a transfer
    // of no bytes is no block this pass, as long as the node is still there: not hung up, and
    // its path names the same device. A stand-in whose other side has gone reads 0 and hangs up.
    const bool unplugged = got < 0 && error == ENODEV;
    if (unplugged || !StillThere(port, fd)) return NodeLost(port, got);
    printer::ReportOnline(port, Why::Answered);
    return {got, ReadOutcome::Decode};
}

// The path again, for a node that was lost: ours again only when it gives the device ID the
// printer gave at open (where both give one).
Reopened UsbOpenAgain(Port& port, int held, int* fd) {
    const USBPort& usbPort = UsbRecord(port);
    const int reopened = open(usbPort.portName, kOpenFlags);
    if (reopened < 0) {
        // The driver allows one open of a node at a time: the one held still works.
        if (errno == EBUSY && StillThere(port, held)) return Reopened::HeldStillWorks;
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

std::atomic<int32_t>& UsbDescriptor(Port& port) { return UsbRecord(port).port; }

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
    .descriptor = &UsbDescriptor,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
