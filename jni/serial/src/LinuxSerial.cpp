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
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"

SerPort serPort{0, {}, {}, kNoDescriptor, {}};

namespace {

constexpr uint32_t kPollStepMs = 20;
constexpr long kDrainWindowMs = 500;
// How long the printer may take no byte at all (DSR held low, a full output queue, a queue
// that does not drain) before a write gives up.
constexpr uint32_t kNoProgressAllowanceMs = 5000;
// DTR/DSR handshake: the most handed to the driver at once, so that a dropped DSR stops the
// data soon.
constexpr long kHandshakeChunk = 256;
constexpr uint32_t kDrainStepMaxMs = 20;

// The descriptor itself belongs to the line's owner (Line.h), which sets and clears it.
void ClearRecord() {
    serPort.set = 0;
    std::memset(serPort.portName, 0, sizeof serPort.portName);
    std::memset(serPort.portSettings, 0, sizeof serPort.portSettings);
    serPort.originalPortSettings = {};
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
bool DrainQueue(int fd, const line::Use* use, uint32_t& lastProgress) {
    const long baud = serPort.originalPortSettings.baud > 0 ? serPort.originalPortSettings.baud
                                                            : 9600;
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

bool DrainOutput(const line::Use& use, uint32_t& lastProgress) {
    return DrainQueue(use.fd(), &use, lastProgress);
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
void ProbeWrite(const uint8_t* request, long length) {
    const line::CommandScope command;
    WritePort(request, length);
}

// One write of what the line takes now (line::PutBytes): the count, 0 for a full queue, -1 for a
// failed line.
long SerialPutBytes(int fd, const uint8_t* data, long length) {
    const ssize_t took = write(fd, data, static_cast<size_t>(length));
    trace::Out(data, took);
    if (took >= 0) return took;
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

// A job that gives up after part of it was written: what is still in the output queue is
// dropped, so that the count reported is exactly what left the port (what the printer gets); a
// command of our own owes the rest. Nothing at all: -2.
long GiveUp(int fd, const uint8_t* data, long length, long written) {
    int queued = 0;
    if (written > 0 && ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        tcflush(fd, TCOFLUSH);
        written = queued < written ? written - queued : 0;
    }
    if (written > 0 && written < length && line::InCommand()) {
        line::Owe(data + written, length - written);
    }
    return written > 0 ? written : long{BRELON_ERROR_IO_FAIL};
}

}  // namespace

long OpenPort(const char* portName, const char* portSettings) {
    const line::Lifecycle hold;
    // A port left open by an earlier open is closed, not leaked.
    if (line::Current() != kNoDescriptor) ClosePort();
    ClearRecord();
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
    line::Install(fd, true);

    const long configured = serConfigurePort(1, settings);
    if (configured != BRELON_ERROR_SUCCESS) {
        close(line::Retire(true));
        serPort.set = 0;
        return configured;
    }
    serPort.originalPortSettings = settings;

    // Whatever the printer sent before we asked is not a reply.
    uint8_t scratch[128];
    ReadPortPrv(scratch, sizeof scratch, 1, kDrainWindowMs);
    return ReadinessProbe(&ProbeWrite, kPollStepMs);
}

long serConfigurePort(uint8_t /*saveSettings*/, const SerPortSettings& settings) {
    const int fd = serPort.port;
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

long ReadPortPrv(uint8_t* readBuffer, long length, long minLength, long timeMillis) {
    const line::Use use;
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
    trace::In(readBuffer, got);
    if (got < 0) return BRELON_ERROR_IO_FAIL;
    return got;
}

long ReadPort(uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(readBuffer, length, 1, 200);
}

long WritePort(const uint8_t* writeBuffer, long length) {
    const uint32_t session = line::Session();
    if (line::Current() == kNoDescriptor) return BRELON_ERROR_NOT_OPEN;
    // One writer at a time, for the whole job: nothing else lands inside its bytes.
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!use.ok()) return BRELON_ERROR_NOT_OPEN;
    if (!turn) return BRELON_ERROR_IO_FAIL;  // the port is being closed
    if (WritesRefused()) return BRELON_ERROR_IO_FAIL;
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    // The rest of a command of ours that went out in part goes first.
    if (!line::SettleOwed(use, &SerialPutBytes, kNoProgressAllowanceMs)) {
        return BRELON_ERROR_IO_FAIL;
    }
    const int fd = use.fd();
    const bool handshake = serPort.originalPortSettings.flowControl == 'h';
    long written = 0;
    uint32_t lastProgress = timeGetTime();
    auto allowanceLeft = [&] {
        return ElapsedSince(lastProgress, timeGetTime()) < kNoProgressAllowanceMs;
    };
    while (written < length) {
        // A close ends the job here, within one step, before the number is released; what was
        // written goes out with the close's drain.
        if (use.stopping()) return written > 0 ? written : long{BRELON_ERROR_IO_FAIL};
        // With the handshake, hold the data while the printer drops DSR (its buffer is
        // full or it is busy); a line without modem status cannot hold us.
        if (handshake && DataSetReady(fd) == 0) {
            if (!allowanceLeft()) return GiveUp(fd, writeBuffer, length, written);
            LoopSleep(kPollStepMs);
            continue;
        }
        long chunk = length - written;
        if (handshake && chunk > kHandshakeChunk) chunk = kHandshakeChunk;
        const ssize_t took = write(fd, writeBuffer + written, static_cast<size_t>(chunk));
        trace::Out(writeBuffer + written, took);
        if (took < 0) {
            // A full output queue: wait for room (at most one step at a time) rather than drop
            // the rest of the job.
            if (errno != EAGAIN && errno != EINTR) return GiveUp(fd, writeBuffer, length, written);
            if (!allowanceLeft()) return GiveUp(fd, writeBuffer, length, written);
            pollfd room{fd, POLLOUT, 0};
            poll(&room, 1, static_cast<int>(kPollStepMs));
            continue;
        }
        written += took;
        if (took > 0) lastProgress = timeGetTime();
        if (!DrainOutput(use, lastProgress)) {
            if (use.stopping()) return written > 0 ? written : long{BRELON_ERROR_IO_FAIL};
            return GiveUp(fd, writeBuffer, length, written);
        }
    }
    return written;
}

long ClosePort() {
    const line::Lifecycle hold;
    // No monitor may outlive the descriptor; readers and writers give up within one step.
    StopMonitor();
    const int fd = line::Retire(true);
    if (fd != kNoDescriptor) {
        // What a write reported as written is the printer's: the output still queued goes out
        // first (for as long as the line takes data), and only the unread input is dropped.
        uint32_t lastProgress = timeGetTime();
        DrainQueue(fd, nullptr, lastProgress);
        tcflush(fd, TCIFLUSH);
        close(fd);
    }
    ClearRecord();
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the serial transport ----

namespace {
constexpr size_t kJavaSettingsRoom = 64;  // the settings text the Java side may give, with NUL
}

long OpenFromJava(const char* portText, const char* settingsText) {
    char settings[kJavaSettingsRoom];
    const long completed = CompleteSettingsText(settingsText, settings, sizeof settings);
    if (completed != BRELON_ERROR_SUCCESS) return completed;
    if (std::strlen(portText) >= sizeof serPort.portName) return BRELON_ERROR_NOT_OPEN;
    return OpenPort(portText, settings);
}

long WriteFromJava(const uint8_t* data, long length) { return WritePort(data, length); }

// ---- The monitor's hooks ----

namespace {

LineState SerialLineCheck(int fd) {
    switch (DataSetReady(fd)) {
        case 1: return LineState::Online;
        case 0: return LineState::Offline;
        default: return LineState::CheckFailed;
    }
}

// A line whose far end has gone (a USB serial adapter unplugged, a pty whose other side closed)
// is hung up: reads give nothing from then on and every request on it fails with EIO, the
// plainest of them too. Nothing brings it back but a new open.
bool SerialLineGone(int fd) {
    termios settings{};
    return tcgetattr(fd, &settings) != 0 && (errno == EIO || errno == ENXIO || errno == ENODEV);
}

BatchRead SerialReadBatch(int fd, uint8_t* buffer, long length, DecodeMode /*mode*/) {
    const ssize_t got = read(fd, buffer, static_cast<size_t>(length));
    trace::In(buffer, got);
    if (got <= 0 && SerialLineGone(fd)) return {got, ReadOutcome::Gone};
    return {got, ReadOutcome::Decode};
}

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
    .descriptor = &serPort.port,
    .retireWake = nullptr,
    .releaseWake = nullptr,
    .releaseWaitMs = 1000,
    .recordClaimMode = nullptr,
};
