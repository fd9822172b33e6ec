#include "LinuxEthernet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "ByteQueue.h"
#include "Deliverable.h"
#include "Line.h"
#include "MutexHold.h"
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

// The printer has closed its end (its FIN came), or the connection is gone. Unlike Healthy, blind
// to a receiving side that was shut here: a close shuts it to wake the readers first.
bool PeerEnded(int sock) {
    if (ErrorPending(sock)) return true;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return true;
    // The kernel's connection states: established, or our own FIN sent (FIN_WAIT1, FIN_WAIT2)
    // while the printer's side is still open.
    constexpr uint8_t kEstablished = 1, kFinWait1 = 4, kFinWait2 = 5;
    return info.tcpi_state != kEstablished && info.tcpi_state != kFinWait1 &&
           info.tcpi_state != kFinWait2;
}

// Bytes the printer's side has not acknowledged yet (sent or still queued), or -1.
int Unacknowledged(int sock) {
    int queued = 0;
    return ioctl(sock, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// TCP's own count of the bytes the printer's side has acknowledged on this connection (its SYN
// counts one), kept after the connection broke; false when the kernel does not give it.
bool TcpBytesAcked(int sock, uint64_t& acked) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
    if (size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return false;
    acked = info.tcpi_bytes_acked;
    return true;
}

// ---- The byte stream to the printer ----
//
// Every byte the library hands to a connection (print data, its own commands) is one byte of a
// stream that outlives connections. A byte the printer's side has acknowledged was taken; one
// handed to the connection and not acknowledged yet is kept here until it is. When the connection
// is lost, the next connection starts with what the lost one never acknowledged, once, and never
// with what it took. So a writer does not wait for acknowledgements: a count it reports is what
// the printer gets, as long as the port stays open until they come (the close waits for them,
// bounded). Changed only by the holder of the line's bytes (a writer's turn, the monitor's
// command, the open), under its own lock for the readers.
class Stream {
public:
    // A new stream on the connection of a new open.
    void Begin(int sock) {
        const MutexHold hold(lock_);
        handed_ = acked_ = connectionStart_ = 0;
        unacked_.Release();
        countsAcks_ = TcpBytesAcked(sock, ackBase_);
    }

    // The same stream on a new connection, whose first bytes are what the lost one never
    // acknowledged: they are handed back (into owed) to be sent again.
    void Continue(int sock, ByteQueue& owed) {
        const MutexHold hold(lock_);
        owed.Clear();
        owed.Swap(unacked_);
        handed_ = connectionStart_ = acked_;
        countsAcks_ = TcpBytesAcked(sock, ackBase_);
    }

    // One send on the connection; what it took is handed.
    ssize_t Send(int sock, const uint8_t* data, size_t length, int flags) {
        const ssize_t sent = send(sock, data, length, flags | MSG_NOSIGNAL);
        trace::Out(data, sent);
        if (sent > 0) {
            const MutexHold hold(lock_);
            unacked_.Append(data, static_cast<size_t>(sent));
            handed_ += static_cast<uint64_t>(sent);
        }
        return sent;
    }

    // Learns what the printer's side has acknowledged by now, also on a connection that broke.
    void Refresh(int sock) {
        uint64_t tcpAcked = 0;
        const bool counted = countsAcks_ && TcpBytesAcked(sock, tcpAcked);
        const int queued = counted ? 0 : Unacknowledged(sock);
        const MutexHold hold(lock_);
        uint64_t now;
        if (counted) {
            now = connectionStart_ + (tcpAcked - ackBase_);
        } else if (queued >= 0 && Healthy(sock)) {
            now = handed_ - static_cast<uint64_t>(queued);
        } else {
            return;  // a broken connection without TCP's count: nothing more is known
        }
        if (now > handed_) now = handed_;
        if (now <= acked_) return;
        unacked_.DropFront(static_cast<size_t>(now - acked_));
        acked_ = now;
    }

    // The bytes from offset on were handed to a connection that is lost, and will not be sent
    // again: the writer reports them as not printed.
    void Drop(uint64_t offset) {
        const MutexHold hold(lock_);
        if (offset < acked_) offset = acked_;
        if (offset >= handed_) return;
        unacked_.KeepFront(static_cast<size_t>(offset - acked_));
        handed_ = offset;
    }

    uint64_t handed() {
        const MutexHold hold(lock_);
        return handed_;
    }
    uint64_t acked() {
        const MutexHold hold(lock_);
        return acked_;
    }

    // The port is closed: nothing is kept.
    void End() {
        const MutexHold hold(lock_);
        handed_ = acked_ = connectionStart_ = 0;
        unacked_.Release();
    }

private:
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    uint64_t handed_ = 0;  // stream bytes handed to connections, each counted once
    uint64_t acked_ = 0;   // of them, acknowledged by the printer's side
    uint64_t connectionStart_ = 0;  // the stream offset of the connection's first byte
    uint64_t ackBase_ = 0;          // TCP's acknowledged count when the connection was made
    bool countsAcks_ = false;
    ByteQueue unacked_;             // the stream's bytes [acked_, handed_)
};

Stream g_stream;

enum class Sent : uint8_t {
    All,         // every byte handed to the connection
    NoProgress,  // the printer took nothing within the allowance: its window stays closed
    Reported,    // the printer reported cover open, paper end or an error meanwhile
    LinkLost,    // an error or the end of the stream
    Stopped,     // the port is being closed
};

// The printer reported, while the job went out, that it cannot print (cover open, paper end,
// an error). A claim (or a new monitor after a reconnection) also raises m_bOffline, only to
// make its monitor enable automatic status: that is no report of the printer's.
bool ReportedNotReady() {
    return (m_bOffline && (m_bCoverOpen || m_bPaperEmpty)) || m_bPrinterError;
}

// The send loop: from done on, the rest of the buffer after every partial send, a 10 ms pause
// after each send, and the printer's reports watched after each one when watchReports is set. A
// printer whose window stays closed is busy, not gone: the loop waits for it as long as it takes
// something within the allowance, and the connection has no error and no end of stream.
Sent SendRest(const line::Use& use, const uint8_t* data, long length, long& done,
              bool watchReports) {
    const int sock = use.fd();
    uint32_t lastProgress = timeGetTime();
    while (done < length) {
        if (use.stopping()) return Sent::Stopped;
        const ssize_t sent =
            g_stream.Send(sock, data + done, static_cast<size_t>(length - done), 0);
        const int error = errno;
        usleep(kSendPauseUs);
        if (sent > 0) {
            done += sent;
            lastProgress = timeGetTime();
            g_stream.Refresh(sock);
        } else if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) &&
                   Healthy(sock)) {
            // A second without room: the printer is busy (its window is closed). Go on waiting.
            if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) {
                return Sent::NoProgress;
            }
        } else {
            return Sent::LinkLost;
        }
        if (watchReports && ReportedNotReady()) return Sent::Reported;
    }
    return Sent::All;
}

// One send of what the connection takes now, without waiting (line::PutBytes): the monitor's
// commands and the rest of a command that went out in part.
long NetworkPutBytes(int sock, const uint8_t* data, long length) {
    const ssize_t sent = g_stream.Send(sock, data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (sent >= 0) return sent;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// The lost connection's socket goes: the monitor first (it may still read it), then the socket
// (reset, nothing worth draining). Called with the lifecycle lock held.
void DropConnection() {
    StopMonitor();
    const int old = line::Retire(false);
    if (old != kNoSocket) {
        g_stream.Refresh(old);  // what it acknowledged, to the last byte
        close(old);
    }
}

// Replaces a lost connection by a new one with a new monitor, then sends on it what the lost one
// never acknowledged, and gives the new monitor its first pass (it enables automatic status) and
// a second before the job goes on. The writer holds the write turn; it gets the lifecycle lock
// only if the port is not closed first. False when there is nothing to reconnect to or the
// reconnection failed: the printer is then reported offline until a connection succeeds.
bool Reconnect(uint32_t session, line::WriteTurn& turn) {
    {
        const line::LifecycleForWriter hold(session);
        if (!hold || !netPort.set) return false;
        DropConnection();
        if (ReOpenPort() != BRELON_ERROR_SUCCESS) {
            m_bPowerOFF = 1;
            PrinterStatusResult = kStatusOffline;
            line::MarkLost(session, true);
            return false;
        }
    }
    line::MarkLost(session, false);
    m_bPowerOFF = 0;
    ByteQueue owed;
    g_stream.Continue(line::Current(), owed);
    if (!owed.empty()) {
        const line::Use use(session);
        long done = 0;
        if (!use.ok() || SendRest(use, owed.data(), static_cast<long>(owed.size()), done, false) !=
                             Sent::All) {
            return false;
        }
    }
    turn.Pause();
    const bool waited = line::SleepUnlessClosing(session, kReopenSettleMs + kResendDelayMs);
    turn.Resume();
    return waited;
}

// The probe's requests go straight onto the socket, in their own write turn: no device-state
// flag can hold them back, and no other job runs meanwhile.
void SendProbeRequest(const uint8_t* request, long length) {
    const uint32_t session = line::Session();
    const line::WriteTurn turn(session);
    const line::Use use(session);
    if (!turn || !use.ok()) return;
    g_stream.Send(use.fd(), request, static_cast<size_t>(length), 0);
}

// Before the resetting close: what a write reported is the printer's, acknowledged or still held
// here. The close waits for the acknowledgements as a writer waits for room: as long as the
// printer takes something within the no-progress allowance. Then the stream ends in order (a FIN
// behind the last byte), and the close waits, a bounded time, for the printer to read to the end
// and close its side, so that the reset discards nothing it still had to read.
void EndStream(int sock) {
    int previous = INT_MAX;
    uint32_t lastProgress = timeGetTime();
    // A printer that closed its end will acknowledge nothing more.
    for (int queued = Unacknowledged(sock); queued > 0 && !PeerEnded(sock);
         queued = Unacknowledged(sock)) {
        if (queued < previous) {
            previous = queued;
            lastProgress = timeGetTime();
        } else if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) {
            return;  // a printer that takes nothing more: the reset it is
        }
        usleep(kAckPollMaxUs);
    }
    if (PeerEnded(sock) || shutdown(sock, SHUT_WR) != 0) return;
    const uint32_t start = timeGetTime();
    uint8_t discard[256];
    for (;;) {
        const uint32_t spent = ElapsedSince(start, timeGetTime());
        if (spent >= kCloseDrainMs) return;
        pollfd end{sock, POLLIN | POLLRDHUP, 0};
        if (poll(&end, 1, static_cast<int>(kCloseDrainMs - spent)) <= 0) return;
        if ((end.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return;
        const ssize_t got = recv(sock, discard, sizeof discard, MSG_DONTWAIT);
        trace::In(discard, got);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

// What a job that ends before its end reports: the count handed to the connection (the printer
// gets it: acknowledged, or kept until it is), or -2 when none was. A command of ours owes the
// rest.
long PartOfJob(const uint8_t* data, long length, long done) {
    if (done > 0 && done < length && line::InCommand()) line::Owe(data + done, length - done);
    return done > 0 ? done : long{BRELON_ERROR_IO_FAIL};
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
    g_stream.Begin(sock);
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
    // One writer at a time, for the whole job, its reconnection included.
    line::WriteTurn turn(session);
    if (!turn) return netPort.set ? long{BRELON_ERROR_IO_FAIL} : long{BRELON_ERROR_NOT_OPEN};
    // A printer that closed its end takes no more data: what we sent would be gone without a
    // word, so reconnect first, as after a failed receive.
    bool reconnected = false;
    if (m_bPowerOFF || PeerHasClosed(line::Current())) {
        if (!Reconnect(session, turn)) return BRELON_ERROR_IO_FAIL;
        reconnected = true;
    } else if (WritesRefused()) {
        return BRELON_ERROR_IO_FAIL;
    }
    {
        const line::Use use(session);
        if (!use.ok() || !line::SettleOwed(use, &NetworkPutBytes, kNoProgressAllowanceMs)) {
            return BRELON_ERROR_IO_FAIL;
        }
    }
    const uint64_t jobStart = g_stream.handed();
    long done = 0;
    for (;;) {
        Sent sent = Sent::Stopped;
        {
            const line::Use use(session);
            if (use.ok()) sent = SendRest(use, writeBuffer, length, done, true);
        }
        switch (sent) {
            case Sent::All:
                return length;
            case Sent::NoProgress:  // the connection stays: the printer is busy, not gone
            case Sent::Reported:    // the printer holds what it took until it can print it
            case Sent::Stopped:
                return PartOfJob(writeBuffer, length, done);
            case Sent::LinkLost:
                break;
        }
        // A real link loss: what the printer acknowledged got there; the rest goes again, once,
        // on a new connection, and the job goes on from where it was. One reconnection a job.
        if (reconnected || !Reconnect(session, turn)) {
            // What was not acknowledged will not be sent again: the count is what got there.
            const uint64_t acked = g_stream.acked();
            long got = acked > jobStart ? static_cast<long>(acked - jobStart) : 0;
            if (got > done) got = done;
            g_stream.Drop(jobStart + static_cast<uint64_t>(got));
            return PartOfJob(writeBuffer, length, got);
        }
        reconnected = true;
    }
}

long ClosePort() {
    const line::Lifecycle hold;
    // Release has normally stopped the monitor already; a reconnection that ran meanwhile may
    // have started a new one on the socket about to close.
    StopMonitor();
    const int sock = line::Retire(true);
    if (sock != kNoSocket) {
        EndStream(sock);
        close(sock);
    }
    g_stream.End();
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
    if (isThermal != 0 || written == length) return written;
    // An impact printer gets a second try, with what did not go out: never a byte twice.
    const long sent = written > 0 ? written : 0;
    const long rest = WritePort(data + sent, length - sent);
    if (rest <= 0) return written;
    return sent + rest;
}

// ---- The monitor's hooks ----

namespace {

// The receive failed or the printer closed its end: the printer is offline until a new
// connection (the next write's) says otherwise, and the monitor ends. Thermal mode also flags the
// lost link, so that the next write reconnects before anything else.
BatchRead LinkLost(long n, DecodeMode mode) {
    if (mode == DecodeMode::Thermal) {
        m_bOffline = 1;
        m_bPowerOFF = 1;
    }
    PrinterStatusResult = kStatusOffline;
    NStopIt = 0;
    return {n, ReadOutcome::EndThread};
}

BatchRead NetworkReadBatch(int sock, uint8_t* buffer, long length, DecodeMode mode) {
    // Wakes at least once per idle interval so that release and reconnection can stop it.
    pollfd ready{sock, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(kEthernetVariant.idleIntervalMs));
    if (polled < 0 && errno != EINTR) return LinkLost(-1, mode);
    m_bOffline = 0;
    if (polled <= 0) return {0, ReadOutcome::Decode};
    // A _readData on another thread may have taken the bytes that woke us: never block here.
    const ssize_t got = recv(sock, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    trace::In(buffer, got);
    if (got > 0) return {got, ReadOutcome::Decode};
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return {0, ReadOutcome::Decode};
    }
    // The end of the stream (the printer closed its end: switched off, its idle timeout) or a
    // failed receive: no reconnection replaces it by itself.
    return LinkLost(got, mode);
}

// The enable command makes the printer answer, which ends the monitor's wait at once. Not
// inside a job that is still going out.
void NetworkReleaseWake() {
    const line::Use use;
    const line::LineIfFree free;
    if (use.ok() && free) {
        line::PutCommand(use, &NetworkPutBytes, escpos::kEnableAutoStatus,
                         sizeof escpos::kEnableAutoStatus, 0);
    }
}

void RecordClaimMode(int thermal) { isThermal = thermal; }

}  // namespace

const Deliverable kDeliverable{
    .variant = kEthernetVariant,
    .monitor =
        {
            .checkLine = nullptr,
            .waitOutOffline = false,
            .lineGone = nullptr,
            .readBatch = &NetworkReadBatch,
            .openAgain = nullptr,
        },
    .putBytes = &NetworkPutBytes,
    .descriptor = &netPort.sock,
    .retireWake = &WakeReaders,
    .releaseWake = &NetworkReleaseWake,
    .releaseWaitMs = 300,
    .recordClaimMode = &RecordClaimMode,
};
