#include "LinuxParallel.h"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Deliverable.h"
#include "DeviceState.h"
#include "Line.h"
#include "MutexHold.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"

ParPort parPort{0, {}, kNoPort};

namespace {

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr uint32_t kProbePauseMs = 10;
constexpr uint32_t kWritePollMs = 20;
constexpr uint32_t kNoProgressAllowanceMs = 5000;
constexpr uint8_t kNoFault = PARPORT_STATUS_ERROR;  // 0x08: the fault line is inactive
constexpr uint8_t kNotBusy = PARPORT_STATUS_BUSY;   // 0x80

// Held around every negotiate-then-transfer pair on the port (and around each transfer the
// kernel negotiates for by itself): the Java callers and the monitor share one descriptor.
pthread_mutex_t g_portLock = PTHREAD_MUTEX_INITIALIZER;

class PortLock : public MutexHold {
  public:
    PortLock() : MutexHold(g_portLock) {}
};

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord() {
    parPort.set = 0;
    std::memset(parPort.portName, 0, sizeof parPort.portName);
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
void ProbeWrite(const uint8_t* request, long length) {
    const line::CommandScope command;
    WritePort(request, length);
}

// One write of what the printer takes now (line::PutBytes), only while its status lines say it
// can take data (not busy, no fault): a command is never put on a port whose printer is busy.
long ParallelPutBytes(int fd, const uint8_t* data, long length) {
    ssize_t took = 0;
    int error = 0;
    {
        const PortLock port;
        if (OnlineLocked(fd)) {
            took = write(fd, data, static_cast<size_t>(length));
            error = errno;
        }
    }
    trace::Out(data, took);
    if (took >= 0) return took;
    return error == EAGAIN || error == EINTR ? 0 : -1;
}

}  // namespace

long OpenPort(const char* portName, const char* /*portSettings*/) {
    const line::Lifecycle hold;
    // A port left open by an earlier open is released and closed, not leaked.
    if (line::Current() != kNoPort) ClosePort();
    ClearRecord();
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
    line::Install(fd, true);
    // Whatever the printer had queued is not a reply.
    uint8_t scratch[128];
    ReadPort(scratch, sizeof scratch);
    return ReadinessProbe(&ProbeWrite, kProbePauseMs);
}

uint8_t getOnlineStatus() {
    const line::Use use;
    if (!use.ok()) return 0;
    const PortLock port;
    return OnlineLocked(use.fd()) ? 1 : 0;
}

long WritePort(const uint8_t* writeBuffer, long length) {
    const uint32_t session = line::Session();
    if (line::Current() == kNoPort) return BRELON_ERROR_NOT_OPEN;
    // One writer at a time, for the whole job: nothing else lands inside its bytes.
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (!turn) return BRELON_ERROR_IO_FAIL;  // the port is being closed
    if (WritesRefused()) return BRELON_ERROR_IO_FAIL;
    if (!line::SettleOwed(use, &ParallelPutBytes, kNoProgressAllowanceMs)) return 0;
    const int fd = use.fd();
    long written = 0;
    uint32_t lastProgress = timeGetTime();
    while (written < length) {
        // A close gives up the job here, within one poll, before the number is released.
        if (use.stopping()) break;
        ssize_t took = 0;
        {
            const PortLock port;
            if (OnlineLocked(fd)) {
                took = write(fd, writeBuffer + written, static_cast<size_t>(length - written));
            }
        }
        // Traced with the port lock let go, as the reads and the enable below are.
        trace::Out(writeBuffer + written, took);
        if (took > 0) {
            written += took;
            lastProgress = timeGetTime();
            continue;
        }
        // Busy, in fault, or the write took nothing: poll the status lines again.
        if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) break;
        LoopSleep(kWritePollMs);
    }
    // A command of ours that went out in part owes the rest.
    if (written > 0 && written < length && line::InCommand()) {
        line::Owe(writeBuffer + written, length - written);
    }
    return written;
}

long ReadPort(uint8_t* readBuffer, long length) {
    const line::Use use;
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    ssize_t got = 0;
    {
        const PortLock port;
        if (!ReverseChannelLocked(use.fd())) return BRELON_ERROR_IO_FAIL;
        got = read(use.fd(), readBuffer, static_cast<size_t>(length));
    }
    trace::In(readBuffer, got);
    return got < 0 ? long{BRELON_ERROR_IO_FAIL} : static_cast<long>(got);
}

// The probes' reads: the port answers what it has at once, so the wait is not used.
long ReadPortPrv(uint8_t* readBuffer, long length, long /*minLength*/, long /*timeMillis*/) {
    return ReadPort(readBuffer, length);
}

long ClosePort() {
    const line::Lifecycle hold;
    // Release has joined the monitor already; an open's own close of an earlier port has not.
    StopMonitor();
    const int fd = line::Retire(true);
    if (fd != kNoPort) {
        {
            const PortLock port;
            ioctl(fd, PPRELEASE);
        }
        close(fd);
    }
    ClearRecord();
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the parallel transport ----

long OpenFromJava(const char* portText, const char* settingsText) {
    return OpenPort(portText, settingsText);
}

long WriteFromJava(const uint8_t* data, long length) {
    return WritePort(data, length);
}

// ---- The monitor's hooks ----

namespace {

// Online when the printer accepts the reverse channel; the port is then in nibble mode for the
// pass's read.
LineState ParallelLineCheck(int fd) {
    const PortLock port;
    return ReverseChannelLocked(fd) ? LineState::Online : LineState::Offline;
}

// A writer may have gone back to compatibility mode since the check: the read negotiates the
// reverse channel again by itself, under the same lock. Read errors are no block this pass.
BatchRead ParallelReadBatch(int fd, uint8_t* buffer, long length, DecodeMode /*mode*/) {
    ssize_t got = 0;
    {
        const PortLock port;
        got = read(fd, buffer, static_cast<size_t>(length));
    }
    trace::In(buffer, got);
    return {got, ReadOutcome::Decode};
}

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
    .descriptor = &parPort.port,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
