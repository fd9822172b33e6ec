// A raw host for the virtual printer: the pty slave opened the way the serial transport opens
// it, a loopback TCP client, and reads bounded by deadlines.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "prnsim/Bytes.h"

namespace prnsim::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A descriptor closed on scope exit; -1 when not open.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

inline Fd openRawSlave(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (fd.get() >= 0) {
        termios t{};
        ::tcgetattr(fd.get(), &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
    }
    return fd;
}

inline bool writeAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    const auto deadline = Clock::now() + 5s;
    while (done < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (w > 0)
                done += static_cast<size_t>(w);
            else if (errno != EAGAIN && errno != EINTR)
                return false;
            else {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
            continue;
        }
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
    }
    return done == bytes.size();
}

// Reads until `count` bytes have arrived or the timeout passes; returns what arrived.
inline Bytes readBytes(int fd, size_t count, std::chrono::milliseconds timeout) {
    Bytes got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        uint8_t buffer[256];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return got;
}

// Nothing arrives for this long (the printer stays quiet).
inline bool quietFor(int fd, std::chrono::milliseconds span) {
    return readBytes(fd, 1, span).empty();
}

// A blocking loopback client; the descriptor, or -1 with errno set.
inline Fd connectTcp(uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        fd.reset();
        errno = saved;
    }
    return fd;
}

}  // namespace prnsim::test
