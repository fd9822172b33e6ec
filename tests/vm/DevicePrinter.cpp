#include "DevicePrinter.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace prnvm {

namespace {
constexpr int kPollMs = 20;
constexpr int kWriteTimeoutMs = 2000;
}  // namespace

DevicePrinter::DevicePrinter(std::string path, bool tty) : path_(std::move(path)), tty_(tty) {
    attachOutput([this](const uint8_t* data, size_t size) { writeToHost(data, size); });
    reader_ = std::thread([this] { readerLoop(); });
}

DevicePrinter::~DevicePrinter() {
    stop_ = true;
    reader_.join();
    detachOutput();
    const std::lock_guard hold(fdMutex_);
    closeNode();
}

void DevicePrinter::setOpen(bool open) {
    wanted_ = open;
    const std::lock_guard hold(fdMutex_);
    if (open) {
        openNode();
    } else {
        closeNode();
    }
}

bool DevicePrinter::isOpen() const {
    const std::lock_guard hold(fdMutex_);
    return fd_ >= 0;
}

bool DevicePrinter::openNode() {
    if (fd_ >= 0) return true;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    if (tty_) {
        termios raw{};
        if (tcgetattr(fd, &raw) == 0) {
            cfmakeraw(&raw);
            raw.c_cflag |= CLOCAL | CREAD;
            tcsetattr(fd, TCSANOW, &raw);
        }
    }
    fd_ = fd;
    resetRealtimeScanner();
    return true;
}

void DevicePrinter::closeNode() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

void DevicePrinter::readerLoop() {
    uint8_t buffer[4096];
    while (!stop_) {
        int fd;
        {
            const std::lock_guard hold(fdMutex_);
            if (wanted_ && fd_ < 0) openNode();
            fd = fd_;
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kPollMs);
        if (polled <= 0) continue;
        ssize_t n;
        {
            const std::lock_guard hold(fdMutex_);
            if (fd_ != fd) continue;  // closed meanwhile
            n = ::read(fd, buffer, sizeof buffer);
            // The gadget was unbound (or the host side hung up): open it again once it is back.
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) closeNode();
        }
        // The printer's replies go out through writeToHost, which takes the node's lock itself.
        if (n > 0) receive(buffer, static_cast<size_t>(n), 0);
    }
}

void DevicePrinter::writeToHost(const uint8_t* data, size_t size) {
    size_t done = 0;
    int waited = 0;
    while (done < size && waited < kWriteTimeoutMs) {
        int fd;
        {
            const std::lock_guard hold(fdMutex_);
            fd = fd_;
            if (fd >= 0) {
                const ssize_t n = ::write(fd, data + done, size - done);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                    continue;
                }
                if (n < 0 && errno != EAGAIN && errno != EINTR) return;  // gone: lost, as on a line
            }
        }
        pollfd room{fd, POLLOUT, 0};
        if (fd < 0 || ::poll(&room, 1, 10) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(fd < 0 ? 10 : 0));
        }
        waited += 10;
    }
}

}  // namespace prnvm
