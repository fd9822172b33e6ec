#include "LinuxEthernet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Deliverable.h"
#include "Line.h"
#include "NetAddress.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"

NETPort netPort{0, {}, {}, kNoSocket, 0};
NETPort ReNetPort{0, {}, {}, kNoSocket, 0};
std::atomic<int> isThermal{0};

namespace {

constexpr useconds_t kSendPauseUs = 10000;
constexpr uint32_t kReopenSettleMs = 500;
constexpr uint32_t kResendDelayMs = 1000;
constexpr int kConnectWaitMs = 1000;
// A printer whose window stays closed is slow, not gone, as long as it takes some bytes within
// this time and the connection has no error and no end of stream.
constexpr uint32_t kNoProgressAllowanceMs = 5000;
// The resetting close discards what is still queued: give it this long to reach the printer.
constexpr uint32_t kCloseDrainMs = 2000;
constexpr useconds_t kAckPollFirstUs = 100;
constexpr useconds_t kAckPollMaxUs = 5000;

sockaddr_in servAddr{};

// The socket itself belongs to the line's owner (Line.h), which sets and clears netPort.sock.
void ClearFields(NETPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
    std::memset(record.RealIP, 0, sizeof record.RealIP);
    record.portnum = 0;
}

void Snapshot() {
    ReNetPort.set = netPort.set.load();
    std::memcpy(ReNetPort.portName, netPort.portName, sizeof ReNetPort.portName);
    std::memcpy(ReNetPort.RealIP, netPort.RealIP, sizeof ReNetPort.RealIP);
    ReNetPort.sock = netPort.sock.load();
    ReNetPort.portnum = netPort.portnum;
}

void ApplySocketSettings(int sock) {
    const linger noLinger{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    const int smallest = 0;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    const timeval sendLimit{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    // Every write waits for its acknowledgement: with Nagle's algorithm a small write sits
    // behind the printer's delayed ACK of the one before (some 40 ms a piece). The bytes on
    // the wire are the same either way.
    const int noDelay = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
}

bool SetBlocking(int sock, bool blocking) {
    const int flags = fcntl(sock, F_GETFL);
    if (flags == -1) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(sock, F_SETFL, wanted) != -1;
}

// An error pending on the socket (a refused or reset connection), or one that cannot be read.
bool ErrorPending(int sock) {
    int pending = 0;
    socklen_t size = sizeof pending;
    return getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size) != 0 || pending != 0;
}

// A new socket connected within one second to the address in netPort, in blocking mode; -1
// with nothing left open otherwise. Called with the lifecycle lock held.
int Connect() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    ApplySocketSettings(sock);
    auto fail = [sock] {
        close(sock);
        return -1;
    };
    if (!SetBlocking(sock, false)) return fail();

    servAddr = {};
    servAddr.sin_family = AF_INET;
    servAddr.sin_port = htons(static_cast<uint16_t>(netPort.portnum));
    in_addr_t address = 0;
    if (!ParseAddress(netPort.RealIP, address)) return fail();
    servAddr.sin_addr.s_addr = address;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&servAddr), sizeof servAddr) != 0) {
        if (errno != EINPROGRESS) return fail();
        // poll, not select: a process with many files (a JVM raises its limit) hands out
        // socket numbers above what a select set can hold.
        pollfd writable{sock, POLLOUT, 0};
        if (poll(&writable, 1, kConnectWaitMs) <= 0) return fail();
        // Writable also means "failed": a refused connection is no connection, or a
        // reconnection would report success and start a monitor on a dead socket.
        if (ErrorPending(sock)) return fail();
    }
    // Completed at once or after the wait: the same blocking, connected socket either way.
    if (!SetBlocking(sock, true)) return fail();
    return sock;
}

// Retiring the socket wakes whoever waits to receive on it.
void WakeReaders(int sock) { shutdown(sock, SHUT_RD); }

bool PeerHasClosed(int sock) {
    if (sock == kNoSocket) return true;
    pollfd state{sock, POLLRDHUP, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// No error pending and no end of stream: a send that cannot progress is waiting for the
// printer's window, not for a dead connection.
bool Healthy(int sock) { return !ErrorPending(sock) && !PeerHasClosed(sock); }

// An error or a hang-up on the connection. Unlike Healthy, blind to the end of the receiving
// side, which a close has shut itself.
bool Broken(int sock) {
    if (ErrorPending(sock)) return true;
    pollfd state{sock, 0, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR)) != 0;
}

// Bytes the printer's side has not acknowledged yet (sent or still queued), or -1.
int Unacknowledged(int sock) {
    int queued = 0;
    return ioctl(sock, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

enum class Sent : uint8_t {
    All,          // every byte acknowledged by the printer's side
    Failed,       // an error, the end of the stream, or no progress within the allowance
    OfflineSeen,  // the monitor flagged the printer offline after a send
    Stopped,      // the port is being closed
};

// Waits until the printer's side has acknowledged everything sent: a count reported to the
// caller is a promise that the bytes got there. On a healthy printer this is one round trip.
// The acknowledgement is the test, also on a connection that broke meanwhile: once all of the
// job was acknowledged before the break, nothing of it was lost in transit and sending it again
// would print it twice (the next write reconnects). Bytes still unacknowledged on a broken or
// closed connection will never be: the job failed.
Sent AwaitAcknowledged(const line::Use& use, uint32_t lastProgress) {
    const int sock = use.fd();
    int previous = INT_MAX;
    useconds_t step = kAckPollFirstUs;
    for (;;) {
        // A socket that cannot tell (never on TCP) is taken at its word, as a send is.
        const int queued = Unacknowledged(sock);
        if (queued <= 0) return Sent::All;
        if (!Healthy(sock)) return Sent::Failed;
        if (use.stopping()) return Sent::Stopped;
        if (queued < previous) {
            previous = queued;
            lastProgress = timeGetTime();
        } else if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) {
            return Sent::Failed;
        }
        usleep(step);
        if (step < kAckPollMaxUs) step *= 2;
    }
}

// The printer reported itself offline while the job went out (cover open, paper end): the job
// goes out again on a new connection. A claim (or a new monitor after a reconnection) also
// raises m_bOffline, only to make its monitor enable automatic status; and a lost link (the
// monitor's receive failed) shows in the sends and the acknowledgement, which tell whether the
// job got there. Neither is a report of the printer's, and resending for it would print the job
// twice.
bool OfflineReported() { return m_bOffline && (m_bCoverOpen || m_bPaperEmpty); }

// The send loop: the rest of the buffer after every partial send, a 10 ms pause after each
// send, and the offline test after each one when watchOffline is set.
Sent SendAll(uint32_t session, const uint8_t* data, long length, bool watchOffline) {
    const line::Use use(session);
    if (!use.ok()) return Sent::Failed;
    const int sock = use.fd();
    long total = 0;
    uint32_t lastProgress = timeGetTime();
    while (total < length) {
        if (use.stopping()) return Sent::Stopped;
        const ssize_t sent = send(sock, data + total, static_cast<size_t>(length - total),
                                  MSG_NOSIGNAL);
        trace::Out(data + total, sent);
        usleep(kSendPauseUs);
        if (sent > 0) {
            total += sent;
            lastProgress = timeGetTime();
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
                   Healthy(sock) &&
                   ElapsedSince(lastProgress, timeGetTime()) < kNoProgressAllowanceMs) {
            // A second without room: the printer is slow (its window is closed). Go on.
        } else {
            return Sent::Failed;
        }
        if (watchOffline && OfflineReported()) return Sent::OfflineSeen;
    }
    return AwaitAcknowledged(use, lastProgress);
}

// Replaces a lost connection: the old monitor is stopped and joined before its socket closes,
// then a new connection and a new monitor. The writer holds the write turn; it gets the
// lifecycle lock only if the port is not closed first. False when there is nothing to
// reconnect to or the reconnection failed.
bool Reconnect(uint32_t session) {
    const line::LifecycleForWriter hold(session);
    if (!hold || !netPort.set) return false;
    StopMonitor();
    const int old = line::Retire(false);
    if (old != kNoSocket) close(old);  // lost or replaced: reset, nothing worth draining
    return ReOpenPort() == BRELON_ERROR_SUCCESS;
}

// After a reconnection: the new monitor's first pass (which enables automatic status) and a
// second's pause, then the whole buffer once more, acknowledged. The line is paused meanwhile
// so that the monitor's command goes out first; no other job can come in between.
long ResendWhole(uint32_t session, line::WriteTurn& turn, const uint8_t* data, long length) {
    turn.Pause();
    const bool waited = line::SleepUnlessClosing(session, kReopenSettleMs + kResendDelayMs);
    turn.Resume();
    if (!waited) return BRELON_ERROR_IO_FAIL;  // closed meanwhile: nothing is sent
    return SendAll(session, data, length, false) == Sent::All ? length : long{BRELON_ERROR_IO_FAIL};
}

// The probe's requests go straight onto the socket, in their own write turn: no device-state
// flag can hold them back, and no other job runs meanwhile.
void SendProbeRequest(const uint8_t* request, long length) {
    const uint32_t session = line::Session();
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!turn || !use.ok()) return;
    const ssize_t sent = send(use.fd(), request, static_cast<size_t>(length), MSG_NOSIGNAL);
    trace::Out(request, sent);
}

}  // namespace

long OpenPort(const char* portName, const char* portSettings) {
    const line::Lifecycle hold;
    ClosePort();  // an earlier port, with its monitor, goes first
    if (portName == nullptr || std::strlen(portName) >= sizeof netPort.RealIP) {
        return BRELON_ERROR_NOT_OPEN;
    }
    netPort.set = 1;
    std::strcpy(netPort.portName, portName);
    std::strcpy(netPort.RealIP, portName);
    // Checked before any connection is tried.
    netPort.portnum = ParsePortNumber(portSettings);
    in_addr_t address = 0;
    if (netPort.portnum < 0 || !ParseAddress(portName, address)) return BRELON_ERROR_NOT_OPEN;
    const int sock = Connect();
    if (sock < 0) return BRELON_ERROR_NOT_OPEN;
    line::Install(sock, true);
    Snapshot();
    return ReadinessProbe(&SendProbeRequest, 0);
}

long ReOpenPort() {
    const line::Lifecycle hold;
    const int sock = Connect();
    if (sock < 0) return BRELON_ERROR_NOT_OPEN;
    line::Install(sock, false);
    ReNetPort.sock = sock;
    m_bOffline = 1;  // the new monitor's first pass enables automatic status
    if (StartMonitor(isThermal ? DecodeMode::Thermal : DecodeMode::Impact) != 0) {
        return BRELON_ERROR_NOT_OPEN;
    }
    return BRELON_ERROR_SUCCESS;
}

long ReadPortPrv(uint8_t* readBuffer, long length, long /*minLength*/, long timeMillis) {
    if (length < 0) return -1;
    const line::Use use;
    if (!use.ok()) return -1;
    // A connected printer that stays silent must not hold the caller for ever.
    const long waitMs = timeMillis <= 0 ? 0 : timeMillis < INT_MAX ? timeMillis : INT_MAX;
    pollfd ready{use.fd(), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(waitMs));
    if (polled < 0) return errno == EINTR ? 0 : -1;
    if (polled == 0) return 0;
    // Another reader (the monitor) may have taken what woke us: never block here.
    const ssize_t got = recv(use.fd(), readBuffer, static_cast<size_t>(length), MSG_DONTWAIT);
    trace::In(readBuffer, got);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got;
}

long ReadPort(uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(readBuffer, length, 1, 200);
}

long WritePort(const uint8_t* writeBuffer, long length) {
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    const uint32_t session = line::Session();
    if (!netPort.set) return BRELON_ERROR_NOT_OPEN;  // nothing to reconnect to
    // One writer at a time, for the whole job, its reconnection and resend included.
    line::WriteTurn turn(session);
    if (!turn) return netPort.set ? long{BRELON_ERROR_IO_FAIL} : long{BRELON_ERROR_NOT_OPEN};
    // A printer that closed its end takes no more data: what we sent would be gone without a
    // word, so reconnect first, as after a failed receive.
    if (m_bPowerOFF || PeerHasClosed(line::Current())) {
        if (!Reconnect(session)) return BRELON_ERROR_IO_FAIL;
        m_bPowerOFF = 0;
        return ResendWhole(session, turn, writeBuffer, length);
    }
    if (m_bCoverOpen || m_bPaperEmpty || m_bOffline) return BRELON_ERROR_IO_FAIL;
    switch (SendAll(session, writeBuffer, length, true)) {
        case Sent::All:
            return length;
        case Sent::Stopped:
            return BRELON_ERROR_IO_FAIL;
        case Sent::Failed:
        case Sent::OfflineSeen:
            break;
    }
    // A failed send, or an offline report during the job: a new connection and the whole job
    // again. The count reported is the job's when the resend got there, so that nothing sends
    // it a third time.
    if (!Reconnect(session)) return BRELON_ERROR_IO_FAIL;
    return ResendWhole(session, turn, writeBuffer, length);
}

long ClosePort() {
    const line::Lifecycle hold;
    // Release has normally stopped the monitor already; a reconnection that ran meanwhile may
    // have started a new one on the socket about to close.
    StopMonitor();
    const int sock = line::Retire(true);
    if (sock != kNoSocket) {
        // The close resets the connection and drops what is still queued: the end of a job
        // that was reported as sent. Give it a bounded time to get there first.
        const uint32_t start = timeGetTime();
        while (Unacknowledged(sock) > 0 && !Broken(sock) &&
               ElapsedSince(start, timeGetTime()) < kCloseDrainMs) {
            usleep(kAckPollMaxUs);
        }
        close(sock);
    }
    ClearFields(netPort);
    ClearFields(ReNetPort);
    ReNetPort.sock = kNoSocket;
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the network transport ----

long OpenFromJava(const char* portText, const char* settingsText) {
    // No prefix, no address: nothing is tried.
    const char* ip = AddressBehindPrefix(portText);
    if (ip == nullptr) return BRELON_ERROR_NOT_OPEN;
    char IPADD[128] = {};
    if (std::strlen(ip) >= sizeof netPort.RealIP) return BRELON_ERROR_NOT_OPEN;
    std::strcpy(IPADD, ip);
    return OpenPort(IPADD, settingsText);
}

long WriteFromJava(const uint8_t* data, long length) {
    const long written = WritePort(data, length);
    // An impact printer gets the whole job once more when it did not all go out.
    if (isThermal == 0 && written != length) return WritePort(data, length);
    return written;
}

// ---- The monitor's hooks ----

namespace {

long NetworkReadBatch(int sock, uint8_t* buffer, long length) {
    // Wakes at least once per idle interval so that release and reconnection can stop it.
    pollfd ready{sock, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(kEthernetVariant.idleIntervalMs));
    if (polled == 0 || (polled < 0 && errno == EINTR)) return 0;
    if (polled < 0) return -1;
    // A _readData on another thread may have taken the bytes that woke us: never block here.
    const ssize_t got = recv(sock, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    trace::In(buffer, got);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got;
}

ReadOutcome NetworkJudgeRead(int /*sock*/, long n, DecodeMode mode) {
    if (n == -1) {
        if (mode == DecodeMode::Thermal) {
            m_bOffline = 1;
            m_bPowerOFF = 1;
        }
        PrinterStatusResult = kStatusOffline;
        NStopIt = 0;
        return ReadOutcome::EndThread;
    }
    m_bOffline = 0;  // also at the end of the stream
    return ReadOutcome::Decode;
}

bool NetworkSendEnable(int sock) {
    const ssize_t sent =
        send(sock, escpos::kEnableAutoStatus, sizeof escpos::kEnableAutoStatus, MSG_NOSIGNAL);
    trace::Out(escpos::kEnableAutoStatus, sent);
    return sent == static_cast<ssize_t>(sizeof escpos::kEnableAutoStatus);
}

// The enable command makes the printer answer, which ends the monitor's wait at once. Not
// inside a job that is still going out.
void NetworkReleaseWake() {
    const line::Use use;
    const line::LineIfFree free;
    if (use.ok() && free) NetworkSendEnable(use.fd());
}

void RecordClaimMode(int thermal) { isThermal = thermal; }

}  // namespace

const Deliverable kDeliverable{
    .variant = kEthernetVariant,
    .monitor =
        {
            .checkLine = nullptr,
            .waitOutOffline = false,
            .readBatch = &NetworkReadBatch,
            .judgeRead = &NetworkJudgeRead,
            .openAgain = nullptr,
            .sendEnable = &NetworkSendEnable,
        },
    .descriptor = &netPort.sock,
    .retireWake = &WakeReaders,
    .releaseWake = &NetworkReleaseWake,
    .releaseWaitMs = 300,
    .recordClaimMode = &RecordClaimMode,
};
