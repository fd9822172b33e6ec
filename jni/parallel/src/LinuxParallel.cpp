#include "LinuxParallel.h"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Deliverable.h"
#include "Line.h"
#include "MutexHold.h"
#include "Port.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"
#include "Writer.h"

namespace {

ParPort g_records[kPortSlots];


constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr uint32_t kProbePauseMs = 10;
constexpr uint32_t kWritePollMs = 20;
constexpr uint8_t kNoFault = PARPORT_STATUS_ERROR;  // 0x08: the fault line is inactive
constexpr uint8_t kNotBusy = PARPORT_STATUS_BUSY;   // 0x80

// The port's own lock, for one negotiate-then-transfer pair.
class PortLock : public MutexHold {
  public:
    explicit PortLock(Port& port) : MutexHold(ParallelRecord(port).lock) {}
};

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord(ParPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
}

bool Negotiate(int fd, int mode) {
    return ioctl(fd, PPNEGOT, &mode) == 0;
}

// With the port lock held: compatibility mode, then the status lines.
bool OnlineLocked(int fd) {
    if (!Negotiate(fd, IEEE1284_MODE_COMPAT)) return false;
    unsigned char lines = 0;
    if (ioctl(fd, PPRSTATUS, &lines) != 0) return false;
    return (lines & kNoFault) != 0 && (lines & kNotBusy) != 0;
}

// With the port lock held: the reverse channel (compatibility mode first, as the printer
// expects a fresh negotiation), or false when the printer refuses it.
bool ReverseChannelLocked(int fd) {
    Negotiate(fd, IEEE1284_MODE_COMPAT);
    return Negotiate(fd, IEEE1284_MODE_NIBBLE);
}

// The open probe's requests go through WritePort: a refusal flag holds them back, which is why
// the bridge clears the flags before an open.
void ProbeWrite(Port& port, const uint8_t* request, long length) {
    const line::CommandScope command;
    WritePort(port, request, length);
}

// One write of what the printer takes now, only while its status lines say it can take data
// (not busy, no fault): a command is never put on a port whose printer is busy. The count, or 0
// when it takes nothing now; a write that fails is tried again, as a busy printer is.
long PutWhileOnline(Port& port, int fd, const uint8_t* data, long length, int& error) {
    ssize_t took = 0;
    error = 0;
    {
        const PortLock lock(port);
        if (OnlineLocked(fd)) {
            took = write(fd, data, static_cast<size_t>(length));
            error = errno;
        }
    }
    // Traced with the port lock let go, as the reads are.
    trace::Out(port, data, took);
    return took;
}

// line::PutBytes: the count, 0 for a busy printer, -1 for a failed port.
long ParallelPutBytes(Port& port, int fd, const uint8_t* data, long length) {
    int error = 0;
    const long took = PutWhileOnline(port, fd, data, length, error);
    if (took >= 0) return took;
    return error == EAGAIN || error == EINTR ? 0 : -1;
}

// ---- The writer's medium: the whole rest at once, while the printer is online ----

bool ParallelOpen(Port& port) { return line::Current(port) != kNoPort; }

long ParallelPut(Port& port, const line::Use& use, const uint8_t* data, long length) {
    int error = 0;
    const long took = PutWhileOnline(port, use.fd(), data, length, error);
    return took > 0 ? took : 0;  // busy, in fault, or the write took nothing: poll again
}

void ParallelAwaitRoom(Port& /*port*/, const line::Use& /*use*/) { LoopSleep(kWritePollMs); }

constexpr WriteMedium kParallelMedium{
    .open = &ParallelOpen,
    .put = &ParallelPut,
    .awaitRoom = &ParallelAwaitRoom,
    .afterPut = nullptr,
    .settle = nullptr,
    .prepare = nullptr,
    .recover = nullptr,
    .begin = nullptr,
    .putBytes = &ParallelPutBytes,
    .chunk = 0,
    .watch = Watch::Nothing,
    .wholeOrFail = false,
    // 5 s without the printer online: the count written, 0 when none was.
    .nothingIsZero = true,
};

}  // namespace

ParPort& ParallelRecord(Port& port) { return g_records[port.slot < kPortSlots ? port.slot : 0]; }

long OpenPort(Port& port, const char* portName, const char* /*portSettings*/) {
    const line::Lifecycle hold(port);
    ParPort& parPort = ParallelRecord(port);
    // A port left open by an earlier open is released and closed, not leaked.
    if (line::Current(port) != kNoPort) ClosePort(port);
    ClearRecord(parPort);
    parPort.set = 1;
    if (portName == nullptr || std::strlen(portName) >= sizeof parPort.portName) {
        return BRELON_ERROR_NOT_OPEN;
    }
    std::strcpy(parPort.portName, portName);
    const int fd = open(parPort.portName, kOpenFlags);
    if (fd < 0) return BRELON_ERROR_NOT_OPEN;
    if (ioctl(fd, PPCLAIM) != 0) {
        // Closed here, once: the line never knew this number, so the close that follows a
        // failed open finds nothing to release or close (by then the number may be a file of
        // the JVM's).
        close(fd);
        return BRELON_ERROR_NOT_OPEN;
    }
    line::Install(port, fd, true);
    // Whatever the printer had queued is not a reply.
    uint8_t scratch[128];
    ReadPort(port, scratch, sizeof scratch);
    return ReadinessProbe(port, &ProbeWrite, kProbePauseMs);
}

uint8_t getOnlineStatus(Port& port) {
    const line::Use use(port);
    if (!use.ok()) return 0;
    const PortLock lock(port);
    return OnlineLocked(use.fd()) ? 1 : 0;
}

long WritePort(Port& port, const uint8_t* writeBuffer, long length) {
    return WriteJob(port, writeBuffer, length, kParallelMedium);
}

long ReadPort(Port& port, uint8_t* readBuffer, long length) {
    const line::Use use(port);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    ssize_t got = 0;
    {
        const PortLock lock(port);
        if (!ReverseChannelLocked(use.fd())) return BRELON_ERROR_IO_FAIL;
        got = read(use.fd(), readBuffer, static_cast<size_t>(length));
    }
    trace::In(port, readBuffer, got);
    return got < 0 ? long{BRELON_ERROR_IO_FAIL} : static_cast<long>(got);
}

// The probes' reads: the port answers what it has at once, so the wait is not used.
long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long /*minLength*/,
                 long /*timeMillis*/) {
    return ReadPort(port, readBuffer, length);
}

long ClosePort(Port& port) {
    const line::Lifecycle hold(port);
    // Release has joined the monitor already; an open's own close of an earlier port has not.
    StopMonitor(port);
    const int fd = line::Retire(port, true);
    if (fd != kNoPort) {
        {
            const PortLock lock(port);
            ioctl(fd, PPRELEASE);
        }
        close(fd);
    }
    ClearRecord(ParallelRecord(port));
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the parallel transport ----

long OpenFromJava(Port& port, const char* portText, const char* settingsText) {
    return OpenPort(port, portText, settingsText);
}

long WriteFromJava(Port& port, const uint8_t* data, long length) {
    return WritePort(port, data, length);
}

// ---- The monitor's hooks ----

namespace {

// Online when the printer accepts the reverse channel; the port is then in nibble mode for the
// pass's read.
LineState ParallelLineCheck(Port& port, int fd) {
    const PortLock lock(port);
    return ReverseChannelLocked(fd) ? LineState::Online : LineState::Offline;
}

// A writer may have gone back to compatibility mode since the check: the read negotiates the
// reverse channel again by itself, under the same lock. Read errors are no block this pass.
BatchRead ParallelReadBatch(Port& port, int fd, uint8_t* buffer, long length,
                            DecodeMode /*mode*/) {
    ssize_t got = 0;
    {
        const PortLock lock(port);
        got = read(fd, buffer, static_cast<size_t>(length));
    }
    trace::In(port, buffer, got);
    return {got, ReadOutcome::Decode};
}

std::atomic<int32_t>& ParallelDescriptor(Port& port) { return ParallelRecord(port).port; }

}  // namespace

const Deliverable kDeliverable{
    .variant = kParallelVariant,
    .monitor =
        {
            .checkLine = &ParallelLineCheck,
            .waitOutOffline = false,
            .lineGone = nullptr,
            .readBatch = &ParallelReadBatch,
            .openAgain = nullptr,
        },
    .putBytes = &ParallelPutBytes,
    .descriptor = &ParallelDescriptor,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
