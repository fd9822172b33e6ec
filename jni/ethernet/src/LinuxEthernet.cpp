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
#include "Port.h"
#include "PrinterState.h"
#include "MutexHold.h"
#include "NetAddress.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Trace.h"
#include "Transport.h"
#include "Writer.h"

namespace {

constexpr useconds_t kSendPauseUs = 10000;
constexpr uint32_t kReopenSettleMs = 500;
constexpr uint32_t kResendDelayMs = 1000;
constexpr int kConnectWaitMs = 1000;
// The resetting close discards what is still queued: give it this long to reach the printer.
constexpr uint32_t kCloseDrainMs = 2000;
constexpr useconds_t kAckPollMaxUs = 5000;

NetworkPort g_records[kPortSlots];


// The socket itself belongs to the line's owner (Line.h), which sets and clears netPort.sock.
void ClearFields(NETPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
    std::memset(record.RealIP, 0, sizeof record.RealIP);
    record.portnum = 0;
}

void Snapshot(NetworkPort& record) {
    NETPort& netPort = record.netPort;
    NETPort& ReNetPort = record.ReNetPort;
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

// A new socket connected within one second to the port's address, in blocking mode; -1 with
// nothing left open otherwise. Called with the lifecycle lock held.
int Connect(const NETPort& netPort) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    ApplySocketSettings(sock);
    auto fail = [sock] {
        close(sock);
        return -1;
    };
    if (!SetBlocking(sock, false)) return fail();

    sockaddr_in servAddr{};
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
void WakeReaders(Port& /*port*/, int sock) { shutdown(sock, SHUT_RD); }

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
    ssize_t Send(Port& port, int sock, const uint8_t* data, size_t length, int flags) {
        const ssize_t sent = send(sock, data, length, flags | MSG_NOSIGNAL);
        trace::Out(port, data, sent);
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

// Each port's stream, beside its record.
Stream g_streams[kPortSlots];

Stream& StreamOf(Port& port) { return g_streams[port.slot < kPortSlots ? port.slot : 0]; }

// The stream offset of the job being written (the writer's turn guards it).
uint64_t g_jobStart[kPortSlots];

// One send of what the connection takes now, without waiting (line::PutBytes): the monitor's
// commands and the rest of a command that went out in part.
long NetworkPutBytes(Port& port, int sock, const uint8_t* data, long length) {
    const ssize_t sent =
        StreamOf(port).Send(port, sock, data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (sent >= 0) return sent;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

// The lost connection's socket goes: the monitor first (it may still read it), then the socket
// (reset, nothing worth draining). Called with the lifecycle lock held.
void DropConnection(Port& port) {
    StopMonitor(port);
    const int old = line::Retire(port, false);
    if (old != kNoSocket) {
        StreamOf(port).Refresh(old);  // what it acknowledged, to the last byte
        close(old);
    }
}

// Sends all of data on the connection, waiting for the printer's window within the allowance.
bool SendAll(Port& port, const line::Use& use, const uint8_t* data, long length) {
    long done = 0;
    uint32_t lastProgress = timeGetTime();
    while (done < length) {
        if (use.stopping()) return false;
        const ssize_t sent = StreamOf(port).Send(port, use.fd(), data + done,
                                                 static_cast<size_t>(length - done), 0);
        if (sent > 0) {
            done += sent;
            lastProgress = timeGetTime();
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
            Healthy(use.fd()) &&
            ElapsedSince(lastProgress, timeGetTime()) < kNoProgressAllowanceMs) {
            continue;
        }
        return false;
    }
    return true;
}

// Replaces a lost connection by a new one with a new monitor, then sends on it what the lost one
// never acknowledged, and gives the new monitor its first pass (it enables automatic status) and
// a second before the job goes on. The writer holds the write turn; it gets the lifecycle lock
// only if the port is not closed first. False when there is nothing to reconnect to or the
// reconnection failed: the printer is then reported offline until a connection succeeds.
bool Reconnect(Port& port, line::WriteTurn& turn, uint32_t session) {
    {
        const line::LifecycleForWriter hold(port, session);
        if (!hold || !NetworkRecord(port).netPort.set) return false;
        DropConnection(port);
        if (ReOpenPort(port) != BRELON_ERROR_SUCCESS) {
            printer::LinkLost(port, Why::ReconnectFailed, true);
            line::MarkLost(port, session, true);
            return false;
        }
    }
    line::MarkLost(port, session, false);
    printer::LinkBack(port);
    ByteQueue owed;
    StreamOf(port).Continue(line::Current(port), owed);
    if (!owed.empty()) {
        const line::Use use(port, session);
        if (!use.ok() || !SendAll(port, use, owed.data(), static_cast<long>(owed.size()))) {
            return false;
        }
    }
    turn.Pause();
    const bool waited = line::SleepUnlessClosing(port, session, kReopenSettleMs + kResendDelayMs);
    turn.Resume();
    return waited;
}

// The probe's requests go straight onto the socket, in their own write turn: no device-state
// flag can hold them back, and no other job runs meanwhile.
void SendProbeRequest(Port& port, const uint8_t* request, long length) {
    const uint32_t session = line::Session(port);
    const line::WriteTurn turn(port, session);
    const line::Use use(port, session);
    if (!turn || !use.ok()) return;
    StreamOf(port).Send(port, use.fd(), request, static_cast<size_t>(length), 0);
}

// Before the resetting close: what a write reported is the printer's, acknowledged or still held
// here. The close waits for the acknowledgements as a writer waits for room: as long as the
// printer takes something within the no-progress allowance. Then the stream ends in order (a FIN
// behind the last byte), and the close waits, a bounded time, for the printer to read to the end
// and close its side, so that the reset discards nothing it still had to read.
void EndStream(Port& port, int sock) {
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
        trace::In(port, discard, got);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

// ---- The writer's medium ----
//
// The send loop: the rest of the buffer after every partial send, a 10 ms pause after each send.
// A printer whose window stays closed is busy, not gone: a send that cannot progress for its 1 s
// timeout takes nothing, and the job waits as long as the printer takes something within the
// allowance and the connection has no error and no end of stream. A job that ends early reports
// what it handed over: the printer gets it, acknowledged or kept until it is. A real link loss
// reconnects once and sends again only what the printer never acknowledged; if that fails, the
// count is what the printer acknowledged.

bool NetworkOpen(Port& port) { return NetworkRecord(port).netPort.set != 0; }

long NetworkPut(Port& port, const line::Use& use, const uint8_t* data, long length) {
    const int sock = use.fd();
    const ssize_t sent = StreamOf(port).Send(port, sock, data, static_cast<size_t>(length), 0);
    const int error = errno;
    usleep(kSendPauseUs);
    if (sent > 0) return sent;
    if (sent < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) && Healthy(sock)) {
        return 0;  // a second without room: the printer is busy (its window is closed)
    }
    return -1;  // an error, or the end of the stream
}

void NetworkAwaitRoom(Port& /*port*/, const line::Use& /*use*/) {}

Ended NetworkAfterPut(Port& port, const line::Use& use, uint32_t& /*lastProgress*/) {
    StreamOf(port).Refresh(use.fd());
    return Ended::Done;
}

// A printer that closed its end takes no more data: what we sent would be gone without a word,
// so the connection is made again first, as after a failed receive.
Prepared NetworkPrepare(Port& port, line::WriteTurn& turn, uint32_t session) {
    if (!port.state.m_bPowerOFF && !PeerHasClosed(line::Current(port))) return Prepared::Nothing;
    return Reconnect(port, turn, session) ? Prepared::Recovered : Prepared::Failed;
}

bool NetworkRecover(Port& port, line::WriteTurn& turn, uint32_t session) {
    return Reconnect(port, turn, session);
}

void NetworkBegin(Port& port) { g_jobStart[port.slot] = StreamOf(port).handed(); }

long NetworkSettle(Port& port, const line::Use* /*use*/, long handed, Ended ended) {
    if (ended != Ended::LineFailed) return handed;
    // What was not acknowledged will not be sent again: the count is what got there.
    Stream& stream = StreamOf(port);
    const uint64_t jobStart = g_jobStart[port.slot];
    const uint64_t acked = stream.acked();
    long got = acked > jobStart ? static_cast<long>(acked - jobStart) : 0;
    if (got > handed) got = handed;
    stream.Drop(jobStart + static_cast<uint64_t>(got));
    return got;
}

constexpr WriteMedium kNetworkMedium{
    .open = &NetworkOpen,
    .put = &NetworkPut,
    .awaitRoom = &NetworkAwaitRoom,
    .afterPut = &NetworkAfterPut,
    .settle = &NetworkSettle,
    .prepare = &NetworkPrepare,
    .recover = &NetworkRecover,
    .begin = &NetworkBegin,
    .putBytes = &NetworkPutBytes,
    .chunk = 0,
    .watch = Watch::Reports,
    .wholeOrFail = false,
    .nothingIsZero = false,
};

}  // namespace

NetworkPort& NetworkRecord(Port& port) { return g_records[port.slot < kPortSlots ? port.slot : 0]; }

long OpenPort(Port& port, const char* portName, const char* portSettings) {
    const line::Lifecycle hold(port);
    ClosePort(port);  // an earlier port, with its monitor, goes first
    NetworkPort& record = NetworkRecord(port);
    NETPort& netPort = record.netPort;
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
    const int sock = Connect(netPort);
    if (sock < 0) return BRELON_ERROR_NOT_OPEN;
    line::Install(port, sock, true);
    StreamOf(port).Begin(sock);
    Snapshot(record);
    return ReadinessProbe(port, &SendProbeRequest, 0);
}

long ReOpenPort(Port& port) {
    const line::Lifecycle hold(port);
    NetworkPort& record = NetworkRecord(port);
    const int sock = Connect(record.netPort);
    if (sock < 0) return BRELON_ERROR_NOT_OPEN;
    line::Install(port, sock, false);
    record.ReNetPort.sock = sock;
    // The new monitor's first pass enables automatic status.
    printer::OweEnable(port, Why::Reconnected);
    const DecodeMode mode = record.isThermal ? DecodeMode::Thermal : DecodeMode::Impact;
    if (StartMonitor(port, mode) != 0) return BRELON_ERROR_NOT_OPEN;
    return BRELON_ERROR_SUCCESS;
}

long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long /*minLength*/,
                 long timeMillis) {
    if (length < 0) return -1;
    const line::Use use(port);
    if (!use.ok()) return -1;
    // A connected printer that stays silent must not hold the caller for ever.
    const long waitMs = timeMillis <= 0 ? 0 : timeMillis < INT_MAX ? timeMillis : INT_MAX;
    pollfd ready{use.fd(), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(waitMs));
    if (polled < 0) return errno == EINTR ? 0 : -1;
    if (polled == 0) return 0;
    // Another reader (the monitor) may have taken what woke us: never block here.
    const ssize_t got = recv(use.fd(), readBuffer, static_cast<size_t>(length), MSG_DONTWAIT);
    trace::In(port, readBuffer, got);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got;
}

long ReadPort(Port& port, uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(port, readBuffer, length, 1, 200);
}

long WritePort(Port& port, const uint8_t* writeBuffer, long length) {
    return WriteJob(port, writeBuffer, length, kNetworkMedium);
}

long ClosePort(Port& port) {
    const line::Lifecycle hold(port);
    // Release has normally stopped the monitor already; a reconnection that ran meanwhile may
    // have started a new one on the socket about to close.
    StopMonitor(port);
    const int sock = line::Retire(port, true);
    if (sock != kNoSocket) {
        EndStream(port, sock);
        close(sock);
    }
    StreamOf(port).End();
    NetworkPort& record = NetworkRecord(port);
    ClearFields(record.netPort);
    ClearFields(record.ReNetPort);
    record.ReNetPort.sock = kNoSocket;
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the network transport ----

long OpenFromJava(Port& port, const char* portText, const char* settingsText) {
    // No prefix, no address: nothing is tried.
    const char* ip = AddressBehindPrefix(portText);
    if (ip == nullptr) return BRELON_ERROR_NOT_OPEN;
    char IPADD[128] = {};
    if (std::strlen(ip) >= sizeof NETPort::RealIP) return BRELON_ERROR_NOT_OPEN;
    std::strcpy(IPADD, ip);
    return OpenPort(port, IPADD, settingsText);
}

long WriteFromJava(Port& port, const uint8_t* data, long length) {
    const long written = WritePort(port, data, length);
    if (NetworkRecord(port).isThermal != 0 || written == length) return written;
    // An impact printer gets a second try, with what did not go out: never a byte twice.
    const long sent = written > 0 ? written : 0;
    const long rest = WritePort(port, data + sent, length - sent);
    if (rest <= 0) return written;
    return sent + rest;
}

// ---- The monitor's hooks ----

namespace {

// The receive failed or the printer closed its end: the printer is offline until a new
// connection (the next write's) says otherwise, and the monitor ends. Thermal mode also flags the
// lost link, so that the next write reconnects before anything else.
BatchRead LinkLost(Port& port, long n, DecodeMode mode) {
    printer::LinkLost(port, Why::LinkLost, mode == DecodeMode::Thermal);
    port.state.monitorRun = 0;
    return {n, ReadOutcome::EndThread};
}

BatchRead NetworkReadBatch(Port& port, int sock, uint8_t* buffer, long length, DecodeMode mode) {
    // Wakes at least once per idle interval so that release and reconnection can stop it.
    pollfd ready{sock, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(kEthernetVariant.idleIntervalMs));
    if (polled < 0 && errno != EINTR) return LinkLost(port, -1, mode);
    printer::ReportOnline(port, Why::Answered);
    if (polled <= 0) return {0, ReadOutcome::Decode};
    // A _readData on another thread may have taken the bytes that woke us: never block here.
    const ssize_t got = recv(sock, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    trace::In(port, buffer, got);
    if (got > 0) return {got, ReadOutcome::Decode};
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return {0, ReadOutcome::Decode};
    }
    // The end of the stream (the printer closed its end: switched off, its idle timeout) or a
    // failed receive: no reconnection replaces it by itself.
    return LinkLost(port, got, mode);
}

// The enable command makes the printer answer, which ends the monitor's wait at once. Not
// inside a job that is still going out.
void NetworkReleaseWake(Port& port) {
    const line::Use use(port);
    const line::LineIfFree free(port);
    if (use.ok() && free) {
        line::PutCommand(use, &NetworkPutBytes, escpos::kEnableAutoStatus,
                         sizeof escpos::kEnableAutoStatus, 0);
    }
}

void RecordClaimMode(Port& port, int thermal) { NetworkRecord(port).isThermal = thermal; }

std::atomic<int32_t>& NetworkDescriptor(Port& port) { return NetworkRecord(port).netPort.sock; }

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
    .descriptor = &NetworkDescriptor,
    .retireWake = &WakeReaders,
    .releaseWake = &NetworkReleaseWake,
    .releaseWaitMs = 300,
    .recordClaimMode = &RecordClaimMode,
};
