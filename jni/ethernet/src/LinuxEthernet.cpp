#include "LinuxEthernet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "Deliverable.h"
#include "PrinterCommands.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Transport.h"

NETPort netPort{0, {}, {}, kNoSocket, 0};
NETPort ReNetPort{0, {}, {}, kNoSocket, 0};
std::atomic<int> isThermal{0};

namespace {

constexpr char kAddressPrefix[] = "SOCKET:";
constexpr size_t kAddressPrefixLength = sizeof kAddressPrefix - 1;
constexpr useconds_t kSendPauseUs = 10000;
constexpr uint32_t kReopenSettleMs = 500;
constexpr unsigned kResendDelaySeconds = 1;
constexpr int kConnectWaitMs = 1000;

sockaddr_in servAddr{};

// Opening, closing and reconnecting each replace the connection's socket and its monitor; they
// run one at a time, so a close from one Java thread cannot fall into the middle of another
// thread's reconnection and leave the new socket and monitor behind. A plain pthread mutex, as
// for the monitor's lifecycle: no C++ runtime exception support in the library.
pthread_mutex_t g_connection = PTHREAD_MUTEX_INITIALIZER;

class ConnectionChange {
public:
    ConnectionChange() { pthread_mutex_lock(&g_connection); }
    ~ConnectionChange() { pthread_mutex_unlock(&g_connection); }
    ConnectionChange(const ConnectionChange&) = delete;
    ConnectionChange& operator=(const ConnectionChange&) = delete;
};

void ClearRecord(NETPort& record) {
    record.set = 0;
    std::memset(record.portName, 0, sizeof record.portName);
    std::memset(record.RealIP, 0, sizeof record.RealIP);
    record.sock = kNoSocket;
    record.portnum = 0;
}

void CopyRecord(NETPort& to, const NETPort& from) {
    to.set = from.set.load();
    std::memcpy(to.portName, from.portName, sizeof to.portName);
    std::memcpy(to.RealIP, from.RealIP, sizeof to.RealIP);
    to.sock = from.sock.load();
    to.portnum = from.portnum;
}

// Only the low 16 bits reach the socket address, so a long number wraps rather than overflows.
int LeadingDecimal(const char* text) {
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + uint32_t(*text - '0');
    return static_cast<int>(value);
}

// Closes the live socket once; the number is forgotten before it is released, so no path can
// close it a second time after the system has handed it to somebody else.
void CloseLiveSocket() {
    const int sock = netPort.sock.exchange(kNoSocket);
    if (sock == kNoSocket) return;
    if (ReNetPort.sock == sock) ReNetPort.sock = kNoSocket;
    shutdown(sock, SHUT_RDWR);  // wakes a reader still waiting on it
    close(sock);
}

void ApplySocketSettings(int sock) {
    const linger noLinger{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    const int smallest = 0;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    const timeval sendLimit{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
}

bool SetBlocking(int sock, bool blocking) {
    const int flags = fcntl(sock, F_GETFL);
    if (flags == -1) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(sock, F_SETFL, wanted) != -1;
}

// A new socket connected within one second, in blocking mode, recorded in netPort; false with
// nothing left open otherwise. Called with g_connection held.
bool Connect() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    ApplySocketSettings(sock);
    auto fail = [sock] {
        close(sock);
        return false;
    };
    if (!SetBlocking(sock, false)) return fail();

    servAddr = {};
    servAddr.sin_family = AF_INET;
    servAddr.sin_port = htons(static_cast<uint16_t>(netPort.portnum));
    servAddr.sin_addr.s_addr = inet_addr(netPort.RealIP);
    if (connect(sock, reinterpret_cast<const sockaddr*>(&servAddr), sizeof servAddr) != 0) {
        if (errno != EINPROGRESS) return fail();
        // poll, not select: a process with many files (a JVM raises its limit) hands out
        // socket numbers above what a select set can hold.
        pollfd writable{sock, POLLOUT, 0};
        if (poll(&writable, 1, kConnectWaitMs) <= 0) return fail();
        // Writable also means "failed": a refused connection is no connection, or a
        // reconnection would report success and start a monitor on a dead socket.
        int pending = 0;
        socklen_t size = sizeof pending;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &size) != 0 || pending != 0) {
            return fail();
        }
    }
    // Completed at once or after the wait: the same blocking, connected socket either way.
    if (!SetBlocking(sock, true)) return fail();
    netPort.sock = sock;
    return true;
}

// The probe's requests go straight onto the socket: no device-state flag can hold them back.
void SendProbeRequest(const uint8_t* request, long length) {
    send(netPort.sock, request, static_cast<size_t>(length), MSG_NOSIGNAL);
}

// Replaces the connection: the old monitor is stopped and joined before its socket closes,
// then a new connection and a new monitor. False when the reconnection failed, or when the
// port was closed meanwhile (there is nothing to reconnect to then).
bool Reconnect() {
    const ConnectionChange hold;
    if (!netPort.set) return false;
    StopMonitor();
    CloseLiveSocket();
    return ReOpenPort() == BRELON_ERROR_SUCCESS;
}

bool PeerHasClosed(int sock) {
    if (sock == kNoSocket) return true;
    pollfd state{sock, POLLRDHUP, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// After a reconnection the writer waits a second and sends the whole buffer again.
long ResendWhole(const uint8_t* writeBuffer, long length) {
    sleep(kResendDelaySeconds);
    int sock;
    {
        const ConnectionChange hold;
        CopyRecord(netPort, ReNetPort);
        sock = netPort.sock;
    }
    if (sock == kNoSocket) return -1;  // closed during the pause
    return send(sock, writeBuffer, static_cast<size_t>(length), MSG_NOSIGNAL);
}

}  // namespace

long OpenPort(const char* portName, const char* portSettings) {
    const ConnectionChange hold;
    StopMonitor();  // no monitor may outlive the socket it reads
    CloseLiveSocket();
    ClearRecord(netPort);
    ClearRecord(ReNetPort);
    if (std::strlen(portName) >= sizeof netPort.RealIP) return BRELON_ERROR_NOT_OPEN;
    netPort.set = 1;
    std::strcpy(netPort.portName, portName);
    netPort.portnum = LeadingDecimal(portSettings);
    std::strcpy(netPort.RealIP, portName);
    if (!Connect()) return BRELON_ERROR_NOT_OPEN;
    CopyRecord(ReNetPort, netPort);
    return ReadinessProbe(&SendProbeRequest, 0);
}

// Called by the writer's reconnection, with g_connection held.
long ReOpenPort() {
    if (!Connect()) return BRELON_ERROR_NOT_OPEN;
    ReNetPort.sock = netPort.sock.load();
    m_bOffline = 1;  // the new monitor's first pass enables automatic status
    if (StartMonitor(isThermal ? DecodeMode::Thermal : DecodeMode::Impact, netPort.sock) != 0) {
        return BRELON_ERROR_NOT_OPEN;
    }
    LoopSleep(kReopenSettleMs);
    return BRELON_ERROR_SUCCESS;
}

long ReadPortPrv(uint8_t* readBuffer, long length, long /*minLength*/, long timeMillis) {
    const int sock = netPort.sock;
    if (sock == kNoSocket || length < 0) return -1;
    // A connected printer that stays silent must not hold the caller for ever.
    const long waitMs = timeMillis <= 0 ? 0 : timeMillis < INT_MAX ? timeMillis : INT_MAX;
    pollfd ready{sock, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(waitMs));
    if (polled < 0) return errno == EINTR ? 0 : -1;
    if (polled == 0) return 0;
    return recv(sock, readBuffer, static_cast<size_t>(length), 0);
}

long ReadPort(uint8_t* readBuffer, long length) {
    if (length == 0) return 0;
    return ReadPortPrv(readBuffer, length, 1, 200);
}

long WritePort(const uint8_t* writeBuffer, long length) {
    if (!netPort.set) return BRELON_ERROR_NOT_OPEN;  // nothing to reconnect to
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    // A printer that closed its end takes no more data: what we sent would be gone without a
    // word, so reconnect first, as after a failed receive.
    if (m_bPowerOFF || PeerHasClosed(netPort.sock)) {
        if (!Reconnect()) return BRELON_ERROR_IO_FAIL;
        m_bPowerOFF = 0;
        return ResendWhole(writeBuffer, length);
    }
    if (m_bCoverOpen || m_bPaperEmpty || m_bOffline) return BRELON_ERROR_IO_FAIL;
    long totalWriteLength = 0;
    while (totalWriteLength < length) {
        const ssize_t sent =
            send(netPort.sock, writeBuffer + totalWriteLength,
                 static_cast<size_t>(length - totalWriteLength), MSG_NOSIGNAL);
        usleep(kSendPauseUs);
        if (sent == -1) {
            if (!Reconnect()) return BRELON_ERROR_IO_FAIL;
            ResendWhole(writeBuffer, length);
            break;
        }
        totalWriteLength += sent;
        if (m_bOffline) {
            if (!Reconnect()) return BRELON_ERROR_IO_FAIL;
            ResendWhole(writeBuffer, length);
            break;
        }
    }
    return totalWriteLength;
}

long ClosePort() {
    const ConnectionChange hold;
    // Release has normally stopped the monitor already; a reconnection that ran meanwhile may
    // have started a new one on the socket about to close.
    StopMonitor();
    CloseLiveSocket();
    ClearRecord(netPort);
    ClearRecord(ReNetPort);
    return BRELON_ERROR_SUCCESS;
}

// ---- The bridge's side of the network transport ----

long OpenFromJava(const char* portText, const char* settingsText) {
    char IPADD[128] = {};
    if (std::strncmp(portText, kAddressPrefix, kAddressPrefixLength) == 0) {
        const char* ip = portText + kAddressPrefixLength;
        if (std::strlen(ip) >= sizeof netPort.RealIP) return BRELON_ERROR_NOT_OPEN;
        std::strcpy(IPADD, ip);
    }
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
    return recv(sock, buffer, static_cast<size_t>(length), 0);
}

ReadOutcome NetworkJudgeRead(int& /*sock*/, long n, DecodeMode mode) {
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

void NetworkSendEnable(int sock) {
    send(sock, escpos::kEnableAutoStatus, sizeof escpos::kEnableAutoStatus, MSG_NOSIGNAL);
}

int NetworkMonitorDescriptor() { return netPort.sock; }

// The enable command makes the printer answer, which ends the monitor's receive at once.
void NetworkReleaseWake() {
    const int sock = netPort.sock;
    if (sock != kNoSocket) NetworkSendEnable(sock);
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
            .sendEnable = &NetworkSendEnable,
        },
    .monitorDescriptor = &NetworkMonitorDescriptor,
    .releaseWake = &NetworkReleaseWake,
    .releaseWaitMs = 300,
    .recordClaimMode = &RecordClaimMode,
};
