#include "LinuxSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Deliverable.h"
#include "Line.h"
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

SerPort g_records[kPortSlots];


constexpr uint32_t kPollStepMs = 20;
constexpr long kDrainWindowMs = 500;
// DTR/DSR handshake: the most handed to the driver at once, so that a dropped DSR stops the
// data soon.
constexpr long kHandshakeChunk = 256;
constexpr uint32_t kDrainStepMaxMs = 20;

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord(SerPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
    std::memset(record.portSettings, 0, sizeof record.portSettings);
    record.originalPortSettings = {};
    record.baud = 0;
    record.handshake = false;
}

// A wait the caller gives in a signed 64-bit count, as the 32-bit window the read works with:
// a huge value must not wrap into a negative one.
int32_t WindowMillis(long timeMillis) {
    if (timeMillis > INT32_MAX) return INT32_MAX;
    if (timeMillis < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(timeMillis);
}

// Waits until the driver has sent everything written (tcdrain, bounded): the output queue
// must shrink at least once every allowance, and, for a writer (use), a close of the port ends
// the wait. The steps follow the line's speed, so the wait overshoots the drain by a
// millisecond or two.
bool DrainQueue(Port& port, int fd, const line::Use* use, uint32_t& lastProgress) {
    const int64_t settingsBaud = SerialRecord(port).baud;
    const long baud = settingsBaud > 0 ? static_cast<long>(settingsBaud) : 9600;
    int previous = INT_MAX;
    for (;;) {
        int queued = 0;
        // A driver that cannot count its queue gets the plain drain.
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return tcdrain(fd) == 0;
        if (queued <= 0) return true;
        if (use != nullptr && use->stopping()) return false;
        if (queued < previous) {
            previous = queued;
            lastProgress = timeGetTime();
        } else if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) {
            return false;  // the printer has stopped taking data
        }
        // Ten bit times a character.
        const long remainingMs = static_cast<long>(queued) * 10 * 1000 / baud;
        LoopSleep(static_cast<uint32_t>(
            remainingMs < 1 ? 1 : remainingMs > kDrainStepMaxMs ? kDrainStepMaxMs : remainingMs));
    }
}

speed_t SpeedConstant(int64_t baud) {
    switch (baud) {
        case 2400: return B2400;
        case 4800: return B4800;
        case 19200: return B19200;
        case 38400: return B38400;
        case 115200: return B115200;
        default: return B9600;
    }
}

// Modem status of the line: 1 DSR set, 0 DSR clear, -1 the line has no modem status.
int DataSetReady(int fd) {
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) != 0) return -1;
    return (bits & TIOCM_DSR) != 0 ? 1 : 0;
}

// The open-time probe's requests go through WritePort, so stale refusal flags hold them back.
void ProbeWrite(Port& port, const uint8_t* request, long length) {
    const line::CommandScope command;
    WritePort(port, request, length);
}

// One write of what the line takes now (line::PutBytes): the count, 0 for a full queue, -1 for a
// failed line.
long SerialPutBytes(Port& port, int fd, const uint8_t* data, long length) {
    const ssize_t took = write(fd, data, static_cast<size_t>(length));
    trace::Out(port, data, took);
    if (took >= 0) return took;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

// ---- The writer's medium ----

bool SerialOpen(Port& port) { return line::Current(port) != kNoDescriptor; }

bool Handshake(Port& port) { return SerialRecord(port).handshake; }

// With the handshake, the data is held while the printer drops DSR (its buffer is full or it is
// busy); a line without modem status cannot hold it.
long SerialPut(Port& port, const line::Use& use, const uint8_t* data, long length) {
    if (Handshake(port) && DataSetReady(use.fd()) == 0) return 0;
    return SerialPutBytes(port, use.fd(), data, length);
}

void SerialAwaitRoom(Port& port, const line::Use& use) {
    if (Handshake(port) && DataSetReady(use.fd()) == 0) {
        LoopSleep(kPollStepMs);
        return;
    }
    // A full output queue: wait for room, at most one step at a time.
    pollfd room{use.fd(), POLLOUT, 0};
    poll(&room, 1, static_cast<int>(kPollStepMs));
}

// Every write is drained before the next (bounded: the queue must keep shrinking).
Ended SerialAfterPut(Port& port, const line::Use& use, uint32_t& lastProgress) {
    if (DrainQueue(port, use.fd(), &use, lastProgress)) return Ended::Done;
    return use.stopping() ? Ended::Closing : Ended::NoProgress;
}

// A job that ends early: what is still in the output queue is dropped, so that the count
// reported is exactly what left the port, what the printer gets. A close instead lets the queue
// go with its own drain.
long SerialSettle(Port& /*port*/, const line::Use* use, long handed, Ended ended) {
    if (use == nullptr || ended == Ended::Closing || handed <= 0) return handed;
    int queued = 0;
    if (ioctl(use->fd(), TIOCOUTQ, &queued) == 0 && queued > 0) {
        tcflush(use->fd(), TCOFLUSH);
        handed = queued < handed ? handed - queued : 0;
    }
    return handed;
}

WriteMedium SerialMedium(Port& port) {
    return WriteMedium{
        .open = &SerialOpen,
        .put = &SerialPut,
        .awaitRoom = &SerialAwaitRoom,
        .afterPut = &SerialAfterPut,
        .settle = &SerialSettle,
        .prepare = nullptr,
        .recover = nullptr,
        .begin = nullptr,
        .putBytes = &SerialPutBytes,
        .chunk = Handshake(port) ? kHandshakeChunk : 0,
        .watch = Watch::Nothing,
        .wholeOrFail = false,
        .nothingIsZero = false,
    };
}

}  // namespace

SerPort& SerialRecord(Port& port) { return g_records[port.slot < kPortSlots ? port.slot : 0]; }

long OpenPort(Port& port, const char* portName, const char* portSettings) {
    const line::Lifecycle hold(port);
    SerPort& serPort = SerialRecord(port);
    // A port left open by an earlier open is closed, not leaked.
    if (line::Current(port) != kNoDescriptor) ClosePort(port);
    ClearRecord(serPort);
    serPort.set = 1;
    if (portName == nullptr || portSettings == nullptr) return BRELON_ERROR_NOT_AVAILABLE;
    if (std::strlen(portSettings) >= sizeof serPort.portSettings) {
        return BRELON_ERROR_NOT_AVAILABLE;
    }
    std::strcpy(serPort.portSettings, portSettings);

    SerPortSettings settings{};
    const long parsed = ParseSerialSettings(serPort.portSettings, settings);
    if (parsed != BRELON_ERROR_SUCCESS) return parsed;

    if (std::strlen(portName) >= sizeof serPort.portName) return BRELON_ERROR_NOT_OPEN;
    std::strcpy(serPort.portName, portName);
    const int fd = open(serPort.portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return BRELON_ERROR_NOT_OPEN;
    line::Install(port, fd, true);

    const long configured = serConfigurePort(port, 1, settings);
    if (configured != BRELON_ERROR_SUCCESS) {
        close(line::Retire(port, true));
        serPort.set = 0;
        return configured;
    }
    serPort.originalPortSettings = settings;
    serPort.baud = settings.baud;
    serPort.handshake = settings.flowControl == 'h';

    // Whatever the printer sent before we asked is not a reply.
    uint8_t scratch[128];
    ReadPortPrv(port, scratch, sizeof scratch, 1, kDrainWindowMs);
    return ReadinessProbe(port, &ProbeWrite, kPollStepMs);
}

long serConfigurePort(Port& port, uint8_t /*saveSettings*/, const SerPortSettings& settings) {
    const int fd = SerialRecord(port).port;
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return BRELON_ERROR_IO_FAIL;

    if (settings.baud != 0) {
        const speed_t speed = SpeedConstant(settings.baud);
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
            return BRELON_ERROR_IO_FAIL;
        }
        tio.c_cflag |= CLOCAL | CREAD;
    }
    switch (settings.parity) {
        case 'n':
            // The line keeps what an earlier open (ours or another program's) set: without
            // parity nothing may strip or check the eighth bit.
            tio.c_cflag &= ~(PARENB | PARODD);
            tio.c_iflag &= ~(INPCK | ISTRIP);
            break;
        case 'e':
            tio.c_cflag |= PARENB;
            tio.c_cflag &= ~PARODD;
            tio.c_iflag |= INPCK | ISTRIP;
            break;
        case 'o':
            tio.c_cflag |= PARENB | PARODD;
            tio.c_iflag |= INPCK | ISTRIP;
            break;
        default:
            break;
    }
    if (settings.dataBits == 8 || settings.dataBits == 7) {
        tio.c_cflag &= ~CSIZE;
        tio.c_cflag |= settings.dataBits == 8 ? CS8 : CS7;
    }
    if (settings.stopBits == 1) tio.c_cflag &= ~CSTOPB;
    if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
    // Neither RTS/CTS nor XON/XOFF in the driver: the DTR/DSR handshake of "hdwr" is done by
    // the writer itself, and XON/XOFF bytes are data to us.
    if (settings.flowControl == 'n' || settings.flowControl == 'h') {
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    }
    // Raw both ways: bytes from the printer reach the caller unchanged (no CR/NL translation).
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(ICRNL | INLCR | IGNCR);
    tio.c_oflag &= ~OPOST;

    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return BRELON_ERROR_IO_FAIL;
    return BRELON_ERROR_SUCCESS;
}

long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long minLength, long timeMillis) {
    const line::Use use(port);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    const int fd = use.fd();
    const int32_t window = WindowMillis(timeMillis);
    int32_t remaining = window;
    int32_t waiting = 0;
    while (remaining > 0) {
        // The port is being closed: its number must not be used past this step.
        if (use.stopping()) return BRELON_ERROR_NOT_OPEN;
        const int32_t previous = waiting;
        if (ioctl(fd, FIONREAD, &waiting) != 0) return BRELON_ERROR_IO_FAIL;
        if (waiting >= minLength) break;
        LoopSleep(kPollStepMs);
        // Silence, not the whole wait, is bounded: any arrival (or another reader taking
        // bytes) starts the window again.
        if (waiting != previous) {
            remaining = window;
        } else {
            remaining = remaining <= 20 ? 0 : remaining - 20;
        }
    }
    if (waiting < minLength) return BRELON_ERROR_IO_FAIL;
    if (waiting == 0) return 0;
    if (length <= 0) return 0;
    const size_t wanted = static_cast<size_t>(waiting < length ? waiting : length);
    const ssize_t got = read(fd, readBuffer, wanted);
    trace::In(port, readBuffer, got);
    if (got < 0) return BRELON_ERROR_IO_FAIL;
    return got;
}

long ReadPort(Port& port, uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(port, readBuffer, length, 1, 200);
}

long WritePort(Port& port, const uint8_t* writeBuffer, long length) {
    return WriteJob(port, writeBuffer, length, SerialMedium(port));
}

long ClosePort(Port& port) {
    const line::Lifecycle hold(port);
    // No monitor may outlive the descriptor; readers and writers give up within one step.
    StopMonitor(port);
    const int fd = line::Retire(port, true);
    if (fd != kNoDescriptor) {
        // What a write reported as written is the printer's: the output still queued goes out
        // first (for as long as the line takes data), and only the unread input is dropped.
        uint32_t lastProgress = timeGetTime();
        DrainQueue(port, fd, nullptr, lastProgress);
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
    ClearRecord(SerialRecord(port));
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the serial transport ----

namespace {
constexpr size_t kJavaSettingsRoom = 64;  // the settings text the Java side may give, with NUL
}

long OpenFromJava(Port& port, const char* portText, const char* settingsText) {
    char settings[kJavaSettingsRoom];
    const long completed = CompleteSettingsText(settingsText, settings, sizeof settings);
    if (completed != BRELON_ERROR_SUCCESS) return completed;
    if (std::strlen(portText) >= sizeof SerPort::portName) return BRELON_ERROR_NOT_OPEN;
    return OpenPort(port, portText, settings);
}

long WriteFromJava(Port& port, const uint8_t* data, long length) {
    return WritePort(port, data, length);
}

// ---- The monitor's hooks ----

namespace {

LineState SerialLineCheck(Port& /*port*/, int fd) {
    switch (DataSetReady(fd)) {
        case 1: return LineState::Online;
        case 0: return LineState::Offline;
        default: return LineState::CheckFailed;
    }
}

// A line whose far end has gone (a USB serial adapter unplugged, a pty whose other side closed)
// is hung up: reads give nothing from then on and every request on it fails with EIO, the
// plainest of them too. Nothing brings it back but a new open.
bool SerialLineGone(Port& /*port*/, int fd) {
    termios settings{};
    return tcgetattr(fd, &settings) != 0 && (errno == EIO || errno == ENXIO || errno == ENODEV);
}

BatchRead SerialReadBatch(Port& port, int fd, uint8_t* buffer, long length, DecodeMode /*mode*/) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(length));
    trace::In(port, buffer, got);
    if (got <= 0 && SerialLineGone(port, fd)) return {got, ReadOutcome::Gone};
    return {got, ReadOutcome::Decode};
}

std::atomic<int32_t>& SerialDescriptor(Port& port) { return SerialRecord(port).port; }

}  // namespace

const Deliverable kDeliverable{
    .variant = kSerialVariant,
    .monitor =
        {
            .checkLine = &SerialLineCheck,
            .waitOutOffline = true,
            .lineGone = &SerialLineGone,
            .readBatch = &SerialReadBatch,
            .openAgain = nullptr,
        },
    .putBytes = &SerialPutBytes,
    .descriptor = &SerialDescriptor,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
