#include "prnsim/TcpPrinter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace prnsim {
namespace {

constexpr int kBacklog = 8;
// A slow or stalled printer's receive buffer: small, so the sender's queue fills (the kernel
// doubles it and keeps a floor of about 2 KiB).
constexpr int kSmallReceiveBuffer = 2048;
constexpr int kWriteTimeoutMs = 250;
// A request to the I/O thread is acted on within a poll round; this only guards against a
// thread that has gone.
constexpr auto kRequestTimeout = std::chrono::seconds(5);
// Before a drop or reset: the receive queue has landed once it has not grown for this long, and
// the printer waits no longer than the limit for that, looking every few milliseconds.
constexpr auto kQuietQueue = std::chrono::milliseconds(20);
constexpr auto kLandingLimit = std::chrono::milliseconds(500);
constexpr int kLandingLookMs = 2;
// How soon a printer that holds back its ACKs goes back into delayed-ACK mode after the kernel
// has left it (each time its delayed-ACK timer fires).
constexpr int kHoldAcksMs = 5;

// A socket filter that drops every segment: the stack takes nothing more and acknowledges
// nothing more on that connection.
const sock_filter kDropEverything[] = {BPF_STMT(BPF_RET | BPF_K, 0)};

int unreadBytes(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

void setQuickAck(int fd, bool on) {
    const int value = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &value, sizeof value);
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

TcpPrinter::TcpPrinter(TcpOptions options)
    : VirtualPrinter(options.printer), port_(options.port), delayedAcks_(options.delayedAcks) {
    attachOutput([this](const uint8_t* data, size_t size) { writeToHost(data, size); });
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error_ = errnoText("eventfd");
        return;
    }
    {
        std::lock_guard lock(controlMutex_);
        if (!openListener()) return;
    }
    io_ = std::thread([this] { ioLoop(); });
}

TcpPrinter::~TcpPrinter() {
    detachOutput();
    stop_ = true;
    if (io_.joinable()) {
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) {
        }
        io_.join();
    }
    closeConnection();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

bool TcpPrinter::ok() const {
    std::lock_guard lock(controlMutex_);
    return error_.empty() && io_.joinable();
}

std::string TcpPrinter::error() const {
    std::lock_guard lock(controlMutex_);
    return error_;
}

bool TcpPrinter::openListener() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error_ = errnoText("socket");
        return false;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, kBacklog) != 0) {
        error_ = errnoText("listen on 127.0.0.1:" + std::to_string(port_));
        ::close(fd);
        return false;
    }
    if (defaultReceiveBuffer_ == 0) {
        socklen_t size = sizeof defaultReceiveBuffer_;
        if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &defaultReceiveBuffer_, &size) != 0)
            defaultReceiveBuffer_ = 0;
    }
    smallListenerBuffer_ = false;
    socklen_t length = sizeof address;
    if (port_ == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
    listener_ = fd;
    error_.clear();
    return true;
}

void TcpPrinter::closeConnection() {
    std::lock_guard lock(connMutex_);
    connected_ = false;  // before the host can see the close
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
}

void TcpPrinter::request(const std::function<void()>& change) {
    std::unique_lock lock(controlMutex_);
    change();
    const uint64_t ticket = ++requested_;
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
    }
    controlChanged_.wait_for(lock, kRequestTimeout, [&] { return applied_ >= ticket; });
}

void TcpPrinter::setMode(TcpMode mode) {
    request([&] { mode_ = mode; });
}

TcpMode TcpPrinter::mode() const {
    std::lock_guard lock(controlMutex_);
    return mode_;
}

void TcpPrinter::drop() {
    request([&] { dropNow_ = true; });
}

void TcpPrinter::reset() {
    request([&] {
        dropNow_ = true;
        resetNow_ = true;
    });
}

void TcpPrinter::dropAfter(size_t bytes) {
    request([&] {
        dropArmed_ = true;
        dropRemaining_ = bytes;
        limitResets_ = false;
        limitPerConnection_ = false;
    });
}

void TcpPrinter::resetAfter(size_t bytes) {
    request([&] {
        dropArmed_ = true;
        dropRemaining_ = bytes;
        limitResets_ = true;
        limitPerConnection_ = false;
    });
}

void TcpPrinter::dropEachAfter(size_t bytes, int connections) {
    request([&] {
        eachBytes_ = bytes;
        eachLeft_ = std::max(connections, 0);
        eachChanged_ = true;  // apply() sees whether a connection is open
    });
}

void TcpPrinter::setSlow(unsigned bytesPerSecond) {
    request([&] {
        slowRate_ = bytesPerSecond;
        slowSmallBuffer_ = true;
    });
}

void TcpPrinter::setPace(unsigned bytesPerSecond) {
    request([&] {
        slowRate_ = bytesPerSecond;
        slowSmallBuffer_ = false;
    });
}

void TcpPrinter::setStalled(bool stalled) {
    request([&] {
        stalled_ = stalled;
        stallUntil_.reset();
    });
}

void TcpPrinter::stallFor(std::chrono::milliseconds duration) {
    request([&] {
        stalled_ = true;
        stallUntil_ = Clock::now() + duration;
    });
}

void TcpPrinter::setDelayedAcks(bool delayed) {
    request([&] { delayedAcks_ = delayed; });
}

bool TcpPrinter::stalled() const {
    std::lock_guard lock(controlMutex_);
    return stalled_;
}

int TcpPrinter::connectionCount() const {
    std::lock_guard lock(controlMutex_);
    return connections_;
}

bool TcpPrinter::connected() const {
    return connected_;
}

bool TcpPrinter::waitForConnections(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(controlMutex_);
    return controlChanged_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

void TcpPrinter::fitReceiveBuffers() {
    // A window once advertised cannot shrink, so a small buffer only gives a small window from
    // the handshake on: the listener's buffer is what a connection accepted while stalled
    // starts with. Shrinking an open connection's buffer instead makes the kernel drop what its
    // window lets in, and the host then resends at its retransmission timer.
    const int normal = defaultReceiveBuffer_ / 2;  // the kernel doubles what it is given
    if (listener_ >= 0 && stalled_ != smallListenerBuffer_ && normal > 0) {
        const int size = stalled_ ? kSmallReceiveBuffer : normal;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        smallListenerBuffer_ = stalled_;
    }
    // A slow connection is made small at once (its printer still reads); one accepted while
    // stalled stays small until the stall ends.
    const bool small = (slowRate_ != 0 && slowSmallBuffer_) || (stalled_ && smallReceiveBuffer_);
    if (conn_ < 0 || small == smallReceiveBuffer_) return;
    const int size = small ? kSmallReceiveBuffer : normal;
    if (size > 0) ::setsockopt(conn_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    smallReceiveBuffer_ = small;
}

void TcpPrinter::holdAcks(bool delayed) {
    if (conn_ < 0) {
        holdingAcks_ = false;
    } else if (delayed) {
        setQuickAck(conn_, false);
        holdingAcks_ = true;
    } else if (holdingAcks_) {
        setQuickAck(conn_, true);  // also sends an ACK still held back
        holdingAcks_ = false;
    }
}

void TcpPrinter::drainAndClose(int connection, bool reset) {
    const int fd = conn_;
    // 1. Let what is on its way in land: the printer reads nothing meanwhile.
    const Clock::time_point start = Clock::now();
    Clock::time_point grew = start;
    int queued = unreadBytes(fd);
    while (Clock::now() - grew < kQuietQueue && Clock::now() - start < kLandingLimit) {
        ::poll(nullptr, 0, kLandingLookMs);
        const int now = unreadBytes(fd);
        if (now != queued) {
            queued = now;
            grew = Clock::now();
        }
    }
    // 2. Take nothing more. What the host sends from here on is dropped before the stack sees
    // it, so it is neither queued nor acknowledged, however far the reads below open the window.
    const sock_fprog dropEverything{1, const_cast<sock_filter*>(kDropEverything)};
    ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &dropEverything, sizeof dropEverything);
    // 3. What the stack has taken is the printer's: read and record all of it.
    uint8_t buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            receive(buffer, static_cast<size_t>(n), connection);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // all of it (EAGAIN), or the host's FIN
        }
    }
    // 4. Acknowledge all of it now: an RST acknowledges nothing, and a delayed ACK would come
    // too late.
    setQuickAck(fd, true);
    holdingAcks_ = false;
    // 5. Close. A FIN leaves the connection half open until the host closes: with the reading
    // side shut too, what the host sends after it is answered with a reset, not acknowledged.
    // The filter goes once the FIN is out, so that the host meets that reset, not silence.
    std::lock_guard lock(connMutex_);
    connected_ = false;  // before the host can see the close
    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
        ::shutdown(fd, SHUT_RDWR);
        ::setsockopt(fd, SOL_SOCKET, SO_DETACH_FILTER, nullptr, 0);
    }
    ::close(fd);
    conn_ = -1;
}

void TcpPrinter::apply(int connection) {
    bool close = false;
    bool reset = false;
    uint64_t ticket;
    {
        std::lock_guard lock(controlMutex_);
        ticket = requested_;
        applyLocked(&close, &reset);
        if (!close) {
            holdAcks(delayedAcks_);
            fitReceiveBuffers();
            applied_ = ticket;
            controlChanged_.notify_all();
            return;
        }
    }
    // Requests made while the connection drains are acted on in the next round.
    drainAndClose(connection, reset);
    std::lock_guard lock(controlMutex_);
    fitReceiveBuffers();
    applied_ = std::max(applied_, ticket);
    controlChanged_.notify_all();
}

void TcpPrinter::applyLocked(bool* close, bool* reset) {
    if (mode_ == TcpMode::Refuse && listener_ >= 0) {
        ::close(listener_);  // pending connections in the backlog are reset
        listener_ = -1;
    } else if (mode_ != TcpMode::Refuse && listener_ < 0) {
        openListener();
    }
    silent_ = mode_ == TcpMode::Silent;
    if (stallUntil_ && Clock::now() >= *stallUntil_) {
        stalled_ = false;
        stallUntil_.reset();
    }
    if (eachChanged_) {
        eachChanged_ = false;
        // The rule's own limit goes; a new rule replaces a limit pending for the next connection.
        if (limitPerConnection_ || (conn_ < 0 && eachLeft_ > 0)) {
            dropArmed_ = false;
            limitPerConnection_ = false;
        }
        if (conn_ >= 0 && eachLeft_ > 0) {  // the connection open now is the first
            dropArmed_ = true;
            dropRemaining_ = eachBytes_;
            limitResets_ = false;
            limitPerConnection_ = true;
            --eachLeft_;
        }
    }
    const bool limitReached = dropArmed_ && dropRemaining_ == 0;
    if (dropNow_ || limitReached) {
        // A reset is a close with linger 0: the host's next receive fails.
        *reset = resetNow_ || (limitReached && limitResets_);
        *close = conn_ >= 0;
        dropNow_ = false;
        resetNow_ = false;
        dropArmed_ = false;
        limitResets_ = false;
        limitPerConnection_ = false;
    }
}

void TcpPrinter::ioLoop() {
    uint8_t buffer[4096];
    int connection = -1;
    Clock::time_point nextRead = Clock::now();
    while (!stop_) {
        apply(connection);
        unsigned rate;
        bool armed;
        size_t remaining;
        bool stalled;
        bool delayedAcks;
        std::optional<Clock::time_point> stallUntil;
        {
            std::lock_guard lock(controlMutex_);
            rate = slowRate_;
            armed = dropArmed_;
            remaining = dropRemaining_;
            stalled = stalled_;
            stallUntil = stallUntil_;
            delayedAcks = delayedAcks_;
        }
        const Clock::time_point now = Clock::now();
        const auto until = [&](Clock::time_point then) {
            return then <= now
                       ? 0
                       : static_cast<int>(
                             std::chrono::ceil<std::chrono::milliseconds>(then - now).count());
        };
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
        int timeout = -1;
        enum { Nothing, Accept, Read } what = Nothing;
        if (conn_ < 0 && listener_ >= 0) {
            fds[1].fd = listener_;
            what = Accept;
        } else if (conn_ >= 0 && !stalled) {
            if (rate != 0 && now < nextRead) {
                timeout = until(nextRead);
            } else {
                fds[1].fd = conn_;
                what = Read;
            }
        }
        if (stallUntil)
            timeout = timeout < 0 ? until(*stallUntil) : std::min(timeout, until(*stallUntil));
        if (holdingAcks_) timeout = timeout < 0 ? kHoldAcksMs : std::min(timeout, kHoldAcksMs);
        if (::poll(fds, 2, timeout) < 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t drained;
            while (::read(wakeFd_, &drained, sizeof drained) > 0) {
            }
            continue;
        }
        if (what == Accept && (fds[1].revents & POLLIN)) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) continue;
            // Delayed-ACK mode before anyone learns of the connection (and sends on it).
            if (delayedAcks) setQuickAck(fd, false);
            TcpMode mode;
            {
                std::lock_guard lock(controlMutex_);
                connection = connections_++;
                mode = mode_;
                if (mode != TcpMode::CloseOnAccept && !dropArmed_ && eachLeft_ > 0) {
                    dropArmed_ = true;
                    dropRemaining_ = eachBytes_;
                    limitResets_ = false;
                    limitPerConnection_ = true;
                    --eachLeft_;
                }
                controlChanged_.notify_all();
            }
            if (mode == TcpMode::CloseOnAccept) {
                ::close(fd);
                continue;
            }
            // What its handshake had: one that waited in the backlog may come from a stall.
            int size = 0;
            socklen_t length = sizeof size;
            smallReceiveBuffer_ = ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 &&
                                  size < defaultReceiveBuffer_;
            resetRealtimeScanner();
            {
                std::lock_guard lock(connMutex_);
                conn_ = fd;
                connected_ = true;
            }
            std::lock_guard lock(controlMutex_);
            fitReceiveBuffers();  // a slow printer's buffer, before anything is read
            holdAcks(delayedAcks_);
            continue;
        }
        if (what != Read || fds[1].revents == 0) continue;
        size_t want = sizeof buffer;
        if (rate != 0) want = std::clamp<size_t>(rate / 20, 1, sizeof buffer);
        if (armed) want = std::min(want, remaining);
        // The kernel's delayed-ACK timer may have fired since the last look: without delayed-ACK
        // mode the read itself would send the ACK.
        if (delayedAcks) holdAcks(true);
        const ssize_t n = want == 0 ? 0 : ::read(conn_, buffer, want);
        if (delayedAcks && n > 0) holdAcks(true);
        if (n > 0) {
            receive(buffer, static_cast<size_t>(n), connection);
            if (rate != 0) nextRead = Clock::now() + std::chrono::microseconds(n * 1000000L / rate);
            if (armed) {
                std::lock_guard lock(controlMutex_);
                dropRemaining_ -= std::min(dropRemaining_, static_cast<size_t>(n));
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // End of stream or reset by the host; with a drop armed at zero, apply() closes it.
        if (armed && remaining == 0) continue;
        std::lock_guard lock(controlMutex_);
        if (limitPerConnection_) {  // the rule's limit ends with its connection
            dropArmed_ = false;
            limitPerConnection_ = false;
        }
        closeConnection();
    }
}

void TcpPrinter::writeToHost(const uint8_t* data, size_t size) {
    if (silent_) return;
    std::lock_guard lock(connMutex_);
    if (conn_ < 0) return;
    size_t done = 0;
    int waited = 0;
    while (done < size) {
        const ssize_t n = ::send(conn_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && waited < kWriteTimeoutMs) {
            pollfd p{conn_, POLLOUT, 0};
            ::poll(&p, 1, 10);
            waited += 10;
            continue;
        }
        return;  // the host is gone or does not read: the rest is lost
    }
}

}  // namespace prnsim
