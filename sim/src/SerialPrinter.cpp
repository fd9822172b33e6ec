#include "prnsim/SerialPrinter.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "prnsim/ModemFile.h"

namespace prnsim {
namespace {

// How long the printer waits for room on the line before it drops a reply the host does not
// read; a real printer would hold it, but the tests must never hang on a host that stopped.
constexpr int kWriteTimeoutMs = 250;
// While no one has the slave open the master reports hang-up; look again this often.
constexpr int kIdleRetryMs = 20;

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void waitOn(int fd, long microseconds) {
    pollfd p{fd, POLLIN, 0};
    const timespec t{microseconds / 1000000, (microseconds % 1000000) * 1000};
    ::ppoll(&p, 1, &t, nullptr);
}

// A token no earlier grant had (a read error, a line's room), in this process or another one: the
// shim serves each once per device, and remembers the last across printers on a reused pty.
uint64_t newToken() {
    static std::atomic<uint64_t> last{0};
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t clock =
        static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    uint64_t previous = last.load();
    uint64_t token;
    do {
        token = clock > previous ? clock : previous + 1;
    } while (!last.compare_exchange_weak(previous, token));
    return token;
}

}  // namespace

SerialPrinter::SerialPrinter(SerialOptions options)
    : VirtualPrinter(options.printer),
      options_(std::move(options)),
      modemFile_(options_.modemFile.empty() ? modemFileFromEnvironment() : options_.modemFile),
      modemBits_(kPrinterReadyModemBits),
      deviceId_(options_.deviceId) {
    readRate_ = options_.readRate;
    attachOutput([this](const uint8_t* data, size_t size) { writeToHost(data, size); });
    std::lock_guard lock(plugMutex_);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error_ = errnoText("eventfd");
        return;
    }
    openPty();
}

SerialPrinter::~SerialPrinter() {
    detachOutput();
    std::lock_guard lock(plugMutex_);
    closePty();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

bool SerialPrinter::ok() const {
    std::lock_guard lock(plugMutex_);
    return error_.empty() && !slave_.empty();
}

std::string SerialPrinter::error() const {
    std::lock_guard lock(plugMutex_);
    return error_;
}

std::string SerialPrinter::devicePath() const {
    if (!options_.link.empty()) return options_.link;
    return slavePath();
}

std::string SerialPrinter::slavePath() const {
    std::lock_guard lock(plugMutex_);
    return slave_;
}

bool SerialPrinter::plugged() const {
    std::lock_guard lock(plugMutex_);
    return !slave_.empty();
}

bool SerialPrinter::openPty() {
    error_.clear();
    const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        error_ = errnoText("posix_openpt");
        return false;
    }
    char name[128];
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
        error_ = errnoText("pty slave");
        ::close(m);
        return false;
    }
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    if (options_.rawMaster) {
        // On Linux the master's termios calls act on the slave: this sets its initial mode.
        termios t{};
        if (::tcgetattr(m, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m, TCSANOW, &t);
        }
    }
    if (!options_.link.empty()) {
        // Point the link atomically: a new symlink renamed over the old one.
        const std::string temp = options_.link + ".new." + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(name, temp.c_str()) != 0 || ::rename(temp.c_str(), options_.link.c_str())) {
            error_ = errnoText("link " + options_.link);
            ::unlink(temp.c_str());
            ::close(m);
            return false;
        }
    }
    {
        std::lock_guard lock(masterMutex_);
        master_ = m;
    }
    slave_ = name;
    const int connection = plugCount_++;
    resetRealtimeScanner();
    uint64_t drained;
    while (::read(wakeFd_, &drained, sizeof drained) > 0) {
    }
    stopReader_ = false;
    reader_ = std::thread([this, m, connection] { readerLoop(m, connection); });
    if (publishesLine()) publishModem();
    return true;
}

void SerialPrinter::closePty() {
    if (reader_.joinable()) {
        stopReader_ = true;
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) {
            // the flag alone stops the reader within its poll interval
        }
        reader_.join();
    }
    if (!slave_.empty() && publishesLine()) removeModemLine(modemFile_, slave_);
    readErrorToken_ = 0;  // the node it was armed for is gone
    {
        std::lock_guard lock(masterMutex_);
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    if (!slave_.empty() && !options_.link.empty()) ::unlink(options_.link.c_str());
    slave_.clear();
}

// A cable pulled from a printer that is taking data: what the line already carried is in the
// printer's buffer and prints, as on a real line, where the host's driver counts a byte sent once
// it has left the port. The pty's buffer stands for the wire and that buffer: a host that saw its
// output queue empty must not lose the bytes to the unplug. A printer that has stopped taking
// data (stuck, busy, a byte budget, a slow read rate) keeps nothing more.
void SerialPrinter::keepWhatArrived() {
    std::lock_guard hold(readMutex_);
    if (readingStopped_ || busy_ || busyAfterBytes_ || readRate_ != 0) return;
    int master;
    {
        std::lock_guard lock(masterMutex_);
        master = master_;
    }
    if (master < 0) return;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        receive(buffer, static_cast<size_t>(n), plugCount_ - 1);
    }
}

bool SerialPrinter::unplug() {
    {
        std::lock_guard lock(plugMutex_);
        if (slave_.empty()) return false;
        keepWhatArrived();
        closePty();
    }
    plugChanged();
    return true;
}

bool SerialPrinter::replug() {
    bool opened;
    {
        std::lock_guard lock(plugMutex_);
        if (!slave_.empty()) closePty();
        opened = openPty();
    }
    plugChanged();
    return opened;
}

void SerialPrinter::setReadRate(unsigned bytesPerSecond) {
    readRate_ = bytesPerSecond;
    wakeReader();  // cut a pacing wait short
}

void SerialPrinter::wakeReader() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
        // the reader looks at its flags again on its next wake-up
    }
}

int SerialPrinter::updateReading() {
    int sleep = -1;
    if (busyUntil_) {
        const Clock::time_point now = Clock::now();
        if (now >= *busyUntil_) {
            busy_ = false;
            busyUntil_.reset();
        } else {
            sleep = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(*busyUntil_ - now).count());
        }
    }
    readingStopped_ = lineStuck_ || busy_;
    return sleep;
}

void SerialPrinter::readerLoop(int master, int connection) {
    uint8_t buffer[4096];
    while (!stopReader_) {
        int sleep;
        {
            std::lock_guard hold(readMutex_);
            sleep = updateReading();
        }
        // A stopped reader leaves the master out, so the pty fills up instead of waking us.
        pollfd fds[2] = {{readingStopped_ ? -1 : master, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, sleep);
        if (ready < 0 && errno != EINTR) {
            waitOn(wakeFd_, kIdleRetryMs * 1000);
            continue;
        }
        if (ready <= 0) continue;  // a busy period may be over
        if (fds[1].revents & POLLIN) {
            uint64_t drained;
            while (::read(wakeFd_, &drained, sizeof drained) > 0) {
            }
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const unsigned rate = readRate_;
            // A slow printer takes about a twentieth of a second's worth at a time.
            size_t want =
                rate == 0 ? sizeof buffer : std::clamp<size_t>(rate / 20, 1, sizeof buffer);
            ssize_t n;
            bool stopped = false;  // by a stopAfter, just now
            {
                std::lock_guard hold(readMutex_);
                if (readingStopped_) continue;
                if (busyAfterBytes_) want = std::min(want, *busyAfterBytes_);
                n = ::read(master, buffer, want);
                if (n > 0) {
                    receive(buffer, static_cast<size_t>(n), connection);
                    if (busyAfterBytes_ && (*busyAfterBytes_ -= static_cast<size_t>(n)) == 0) {
                        busyAfterBytes_.reset();
                        busy_ = true;
                        if (busyAfterDuration_)
                            busyUntil_ = Clock::now() + *busyAfterDuration_;
                        else
                            stopped = true;
                        updateReading();
                    }
                }
            }
            if (stopped) {
                std::lock_guard hold(hookMutex_);
                if (stopHook_) stopHook_();
            }
            if (n > 0) {
                if (rate != 0) waitOn(wakeFd_, static_cast<long>(n * 1000000L / rate));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        if (fds[0].fd < 0) continue;
        // Hang-up: nobody has the slave open (EIO on read). Data comes again once it is opened.
        waitOn(wakeFd_, kIdleRetryMs * 1000);
    }
}

void SerialPrinter::writeToHost(const uint8_t* data, size_t size) {
    std::lock_guard lock(masterMutex_);
    if (master_ < 0) return;
    size_t done = 0;
    int waited = 0;
    while (done < size) {
        const ssize_t n = ::write(master_, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && waited < kWriteTimeoutMs) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
            waited += 10;
            continue;
        }
        return;  // the line is full or gone: the rest is lost, as on a real line
    }
}

bool SerialPrinter::publishesLine() const {
    return (options_.modem || options_.usblp) && !modemFile_.empty();
}

bool SerialPrinter::publishModem() {
    if (options_.usblp) return publishUsblpEntry(modemFile_, slave_, {deviceId_, readErrorToken_});
    return publishModemEntry(modemFile_, slave_, {modemBits_, outputStuck_});
}

bool SerialPrinter::setDeviceId(const std::string& id) {
    std::lock_guard lock(plugMutex_);
    if (!options_.usblp || modemFile_.empty() || !deviceIdFits(id)) return false;
    deviceId_ = id;
    if (slave_.empty()) return true;  // published on replug
    return publishModem();
}

std::string SerialPrinter::deviceId() const {
    std::lock_guard lock(plugMutex_);
    return deviceId_;
}

bool SerialPrinter::failNextRead() {
    std::lock_guard lock(plugMutex_);
    if (!options_.usblp || modemFile_.empty() || slave_.empty()) return false;
    readErrorToken_ = newToken();
    return publishModem();
}

bool SerialPrinter::setRoom(std::optional<size_t> bytes) {
    std::lock_guard lock(plugMutex_);
    if (modemFile_.empty() || slave_.empty() || !(publishesLine() || publishesOwnLine()))
        return false;
    std::optional<RoomEntry> room;
    if (bytes) room = RoomEntry{newToken(), *bytes};
    return publishRoom(modemFile_, slave_, room);
}

bool SerialPrinter::setOutputStuck(unsigned bytes) {
    std::lock_guard lock(plugMutex_);
    if (!options_.modem || modemFile_.empty()) return false;
    outputStuck_ = bytes;
    // Stop reading before the host can see the stuck queue, and read again before it sees the
    // queue drained.
    {
        std::lock_guard hold(readMutex_);
        lineStuck_ = bytes != 0;
        updateReading();
    }
    wakeReader();
    if (slave_.empty()) return true;  // published on replug
    return publishModem();
}

unsigned SerialPrinter::outputStuck() const {
    std::lock_guard lock(plugMutex_);
    return outputStuck_;
}

void SerialPrinter::setBusy(bool busy) {
    {
        std::lock_guard hold(readMutex_);
        busy_ = busy;
        busyUntil_.reset();
        if (!busy) busyAfterBytes_.reset();
        updateReading();
    }
    wakeReader();
}

void SerialPrinter::busyFor(std::chrono::milliseconds duration) {
    {
        std::lock_guard hold(readMutex_);
        busy_ = true;
        busyUntil_ = Clock::now() + duration;
        updateReading();
    }
    wakeReader();  // to sleep no longer than the period
}

void SerialPrinter::busyAfter(size_t bytes, std::chrono::milliseconds duration) {
    if (bytes == 0) return busyFor(duration);
    // The reader sizes each read under readMutex_, so none takes more than `bytes` from now on.
    std::lock_guard hold(readMutex_);
    busyAfterBytes_ = bytes;
    busyAfterDuration_ = duration;
}

void SerialPrinter::stopAfter(size_t bytes) {
    if (bytes == 0) return setBusy(true);
    std::lock_guard hold(readMutex_);
    busyAfterBytes_ = bytes;
    busyAfterDuration_.reset();
}

void SerialPrinter::setStopHook(std::function<void()> hook) {
    std::lock_guard hold(hookMutex_);
    stopHook_ = std::move(hook);
}

bool SerialPrinter::busy() const {
    std::lock_guard hold(readMutex_);
    return busy_ && (!busyUntil_ || Clock::now() < *busyUntil_);
}

int SerialPrinter::ptyCount() const {
    std::lock_guard lock(plugMutex_);
    return plugCount_;
}

bool SerialPrinter::setModemBits(unsigned bits) {
    std::lock_guard lock(plugMutex_);
    modemBits_ = bits;
    if (!options_.modem || modemFile_.empty()) return false;
    if (slave_.empty()) return true;  // published on replug
    return publishModem();
}

unsigned SerialPrinter::modemBits() const {
    std::lock_guard lock(plugMutex_);
    return modemBits_;
}

bool SerialPrinter::changeModemBit(unsigned bit, bool on) {
    unsigned bits;
    {
        std::lock_guard lock(plugMutex_);
        bits = on ? (modemBits_ | bit) : (modemBits_ & ~bit);
    }
    return setModemBits(bits);
}

bool SerialPrinter::setDsr(bool on) {
    return changeModemBit(TIOCM_DSR, on);
}
bool SerialPrinter::setCts(bool on) {
    return changeModemBit(TIOCM_CTS, on);
}
bool SerialPrinter::setCd(bool on) {
    return changeModemBit(TIOCM_CAR, on);
}

}  // namespace prnsim
