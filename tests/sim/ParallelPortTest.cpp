// The fake parallel port: the modem shim, linked into this executable, serves ppdev on the pty
// of a ParallelPrinter by the kernel's rules (claim per descriptor, negotiation, status lines,
// read and write that switch modes by themselves), and leaves every other descriptor alone.
#include <gtest/gtest.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "SimTestSupport.h"
#include "prnsim/ModemFile.h"
#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"

namespace prnsim::test {
namespace {

namespace fs = std::filesystem;

const Bytes kStatus1 = {0x10, 0x04, 0x01};
const Bytes kStatus2 = {0x10, 0x04, 0x02};

// 0 or -errno.
int result(int returned) {
    return returned == 0 ? 0 : -errno;
}
int claim(int fd) {
    return result(::ioctl(fd, PPCLAIM));
}
int release(int fd) {
    return result(::ioctl(fd, PPRELEASE));
}
int negotiate(int fd, int mode) {
    return result(::ioctl(fd, PPNEGOT, &mode));
}
// The mode, or -errno.
int mode(int fd) {
    int m = -1;
    return ::ioctl(fd, PPGETMODE, &m) == 0 ? m : -errno;
}
// The status lines, or -errno.
int status(int fd) {
    unsigned char lines = 0;
    return ::ioctl(fd, PPRSTATUS, &lines) == 0 ? lines : -errno;
}
// Bytes written, or -errno.
ssize_t put(int fd, const Bytes& bytes) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    return n >= 0 ? n : -errno;
}
ssize_t take(int fd) {
    uint8_t byte;
    const ssize_t n = ::read(fd, &byte, 1);
    return n >= 0 ? n : -errno;
}

class ParallelPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("prnsim-parport-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        file_ = (dir_ / "lines").string();
        ::setenv("PRNSIM_MODEM_FILE", file_.c_str(), 1);
        ParallelOptions options;
        options.link = (dir_ / "parport0").string();
        printer_ = std::make_unique<ParallelPrinter>(options);
        ASSERT_TRUE(printer_->ok()) << printer_->error();
        ASSERT_TRUE(printer_->published());
    }
    void TearDown() override {
        printer_.reset();
        ::unsetenv("PRNSIM_MODEM_FILE");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // As the library opens it.
    Fd openPort() const {
        return Fd(
            ::open(printer_->devicePath().c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    }
    Fd openClaimed() const {
        Fd fd = openPort();
        EXPECT_EQ(claim(fd.get()), 0);
        return fd;
    }

    fs::path dir_;
    std::string file_;
    std::unique_ptr<ParallelPrinter> printer_;
};

TEST_F(ParallelPortTest, ClaimIsPerDescriptorAndEndsWithReleaseOrClose) {
    Fd port = openPort();
    ASSERT_GE(port.get(), 0);
    EXPECT_EQ(status(port.get()), -EINVAL);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_COMPAT), -EINVAL);
    EXPECT_EQ(release(port.get()), -EINVAL);
    EXPECT_EQ(put(port.get(), kStatus1), -EINVAL);
    EXPECT_EQ(take(port.get()), -EINVAL);

    printer_->setHeld(true);
    EXPECT_EQ(claim(port.get()), -EBUSY);
    printer_->setHeld(false);
    ASSERT_EQ(claim(port.get()), 0);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_COMPAT);
    EXPECT_EQ(claim(port.get()), -EINVAL);  // already has it
    int pending = -1;                       // other requests still reach the pty
    EXPECT_EQ(::ioctl(port.get(), FIONREAD, &pending), 0);

    Fd second = openPort();
    EXPECT_EQ(claim(second.get()), -EBUSY);  // another open file of the same port
    EXPECT_EQ(release(port.get()), 0);
    EXPECT_EQ(status(port.get()), -EINVAL);
    EXPECT_EQ(put(port.get(), kStatus1), -EINVAL);
    EXPECT_EQ(claim(second.get()), 0);
    second.reset();  // close ends the claim, and a new descriptor starts unclaimed
    EXPECT_EQ(claim(port.get()), 0);
    port.reset();
    Fd reopened = openPort();
    EXPECT_EQ(status(reopened.get()), -EINVAL);

    // A claimed number that comes to name another device is that device's again.
    ASSERT_EQ(claim(reopened.get()), 0);
    SerialPrinter plain;
    Fd other = openRawSlave(plain.devicePath());
    ASSERT_EQ(::dup2(other.get(), reopened.get()), reopened.get());
    EXPECT_EQ(put(reopened.get(), kStatus1), 3);
    EXPECT_TRUE(plain.waitForBytes(3, 2s));
    EXPECT_EQ(status(reopened.get()), -ENOTTY);  // the pty's own answer
}

TEST_F(ParallelPortTest, NegotiationAndStatusLines) {
    Fd port = openClaimed();
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_NIBBLE), 0);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_NIBBLE);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_COMPAT), 0);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_ECP), -EIO);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_COMPAT);

    printer_->setReverseChannel(false);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_NIBBLE), -EIO);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_COMPAT);
    printer_->setReverseChannel(true);

    EXPECT_EQ(status(port.get()), 0xDF);
    for (const int lines : {0x88, 0x80, 0x08, 0xDF}) {
        printer_->setStatusLines(static_cast<uint8_t>(lines));
        EXPECT_EQ(status(port.get()), lines);
    }
    printer_->setBusy(true);
    printer_->setFault(true);
    EXPECT_EQ(status(port.get()), 0xDF & ~(PARPORT_STATUS_BUSY | PARPORT_STATUS_ERROR));
    printer_->setBusy(false);
    printer_->setFault(false);
    printer_->setPowered(false);
    EXPECT_EQ(status(port.get()), 0x00);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_NIBBLE), -EIO);
    printer_->setPowered(true);
    EXPECT_EQ(status(port.get()), 0xDF);
    EXPECT_EQ(negotiate(port.get(), IEEE1284_MODE_NIBBLE), 0);
}

TEST_F(ParallelPortTest, WriteGoesOutInCompatibilityAndReadNegotiatesNibble) {
    Fd port = openClaimed();
    EXPECT_EQ(take(port.get()), -EAGAIN);  // negotiated, nothing waiting
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_NIBBLE);

    EXPECT_EQ(put(port.get(), kStatus2), 3);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_COMPAT);
    EXPECT_TRUE(printer_->waitForSequence(kStatus2, 1, 2s));
    EXPECT_EQ(readBytes(port.get(), 1, 2s), Bytes{0x12});  // the printer's answer, in nibble
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_NIBBLE);

    ASSERT_EQ(negotiate(port.get(), IEEE1284_MODE_COMPAT), 0);
    printer_->setReverseChannel(false);
    EXPECT_EQ(take(port.get()), -EIO);
    EXPECT_EQ(mode(port.get()), IEEE1284_MODE_COMPAT);
}

TEST_F(ParallelPortTest, BusyFaultOrOffPrinterRefusesWrites) {
    Fd port = openClaimed();
    printer_->setBusy(true);
    EXPECT_EQ(put(port.get(), kStatus1), -EAGAIN);
    printer_->setBusy(false);
    printer_->setFault(true);
    EXPECT_EQ(put(port.get(), kStatus1), -EAGAIN);
    printer_->setFault(false);
    printer_->setPowered(false);
    EXPECT_EQ(put(port.get(), kStatus1), -EAGAIN);
    EXPECT_EQ(take(port.get()), -EIO);
    EXPECT_FALSE(printer_->waitForBytes(1, 100ms));  // none of it reached the printer

    printer_->setPowered(true);
    EXPECT_EQ(put(port.get(), kStatus1), 3);
    EXPECT_EQ(readBytes(port.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(printer_->received(), kStatus1);
}

// A printer that stops in the middle of a job moves its busy line once it has read its bytes:
// the host's writes fail with EAGAIN until it takes data again, and nothing is lost.
TEST_F(ParallelPortTest, StopAfterSetsTheBusyLineOnceItsBytesAreRead) {
    Fd port = openClaimed();
    const Bytes piece(512, 'p');
    printer_->stopAfter(2000);
    size_t written = 0;
    ssize_t n = 0;
    for (const auto deadline = Clock::now() + 3s; n != -EAGAIN && Clock::now() < deadline;)
        if ((n = put(port.get(), piece)) > 0) written += static_cast<size_t>(n);
    ASSERT_EQ(n, -EAGAIN);
    EXPECT_GE(written, 2000u);
    EXPECT_EQ(status(port.get()), 0xDF & ~PARPORT_STATUS_BUSY);
    ASSERT_TRUE(printer_->waitForBytes(2000, 2s));
    EXPECT_FALSE(printer_->waitForBytes(2001, 200ms));

    printer_->setBusy(false);
    EXPECT_EQ(status(port.get()), 0xDF);
    EXPECT_EQ(put(port.get(), piece), 512);
    ASSERT_TRUE(printer_->waitForBytes(written + 512, 2s));
    EXPECT_EQ(printer_->received(), Bytes(written + 512, 'p'));
}

// A monitor thread negotiates and reads while another writes, on one descriptor, while a third
// opens, claims (EBUSY) and closes other descriptors of the port.
// A negotiation while another thread's transfer goes out changes the mode under it: the
// printer loses the rest, and the write reports it all.
TEST_F(ParallelPortTest, ANegotiationDuringATransferLosesItsEnd) {
    Fd port = openClaimed();
    const Bytes data(1024, 0x78);
    std::atomic<bool> done{false};
    std::thread negotiator([&] {
        while (!done) negotiate(port.get(), IEEE1284_MODE_COMPAT);
    });
    const ssize_t n = put(port.get(), data);
    done = true;
    negotiator.join();
    EXPECT_EQ(n, 1024);
    EXPECT_TRUE(printer_->waitForBytes(512, 2s));
    EXPECT_FALSE(printer_->waitForBytes(513, 200ms));
}

// Several threads on one descriptor, each negotiation and its transfer under one lock (as the
// library holds them), a third opening and claiming in between: the table stays right.
TEST_F(ParallelPortTest, ThreadsShareOneDescriptor) {
    Fd port = openClaimed();
    constexpr int kWrites = 200;
    std::mutex modes;
    std::atomic<bool> done{false};
    std::atomic<int> readFaults{0};
    std::atomic<int> claimFaults{0};
    std::atomic<int> answers{0};
    std::thread monitor([&] {
        while (!done) {
            std::unique_lock hold(modes);
            if (negotiate(port.get(), IEEE1284_MODE_NIBBLE) != 0) ++readFaults;
            const ssize_t n = take(port.get());
            hold.unlock();
            if (n == 1)
                ++answers;
            else if (n != -EAGAIN)
                ++readFaults;
        }
    });
    std::thread others([&] {
        while (!done) {
            Fd other = openPort();
            if (claim(other.get()) != -EBUSY) ++claimFaults;
        }
    });
    int written = 0;
    for (int i = 0; i < kWrites; ++i) {
        const auto deadline = Clock::now() + 2s;
        ssize_t n;
        for (;;) {
            {
                const std::lock_guard hold(modes);
                n = put(port.get(), kStatus1);
            }
            if (n != -EAGAIN || Clock::now() >= deadline) break;
        }
        if (n == 3) ++written;
    }
    EXPECT_TRUE(printer_->waitForSequence(kStatus1, kWrites, 5s));
    const auto deadline = Clock::now() + 5s;
    while (answers < kWrites && Clock::now() < deadline) std::this_thread::yield();
    done = true;
    monitor.join();
    others.join();
    EXPECT_EQ(written, kWrites);
    EXPECT_EQ(readFaults, 0);
    EXPECT_EQ(claimFaults, 0);
    EXPECT_EQ(answers, kWrites);                           // one answer each, all read
    EXPECT_EQ(printer_->received().size(), 3u * kWrites);  // nothing lost or doubled
    EXPECT_EQ(release(port.get()), 0);                     // the claim is intact
}

TEST_F(ParallelPortTest, LineCarriesPortAndModemFields) {
    const std::string slave = printer_->slavePath();
    EXPECT_EQ(readParportEntry(file_, slave), (ParportEntry{0xDF, true, false}));
    printer_->setHeld(true);
    ASSERT_TRUE(publishModemLine(file_, slave, 0x20));  // a modem write keeps the port fields
    EXPECT_EQ(readParportEntry(file_, slave), (ParportEntry{0xDF, true, true}));
    EXPECT_EQ(readModemLine(file_, slave), 0x20u);

    // Unplugged, the port's line goes; replugged, the new pty has it.
    ASSERT_TRUE(printer_->unplug());
    EXPECT_FALSE(readParportEntry(file_, slave).has_value());
    ASSERT_TRUE(printer_->replug());
    EXPECT_TRUE(readParportEntry(file_, printer_->slavePath()).has_value());
    Fd port = openPort();
    EXPECT_EQ(claim(port.get()), -EBUSY);  // still held
    const std::string replugged = printer_->slavePath();
    printer_.reset();
    EXPECT_FALSE(readModemEntry(file_, replugged).has_value());
}

}  // namespace
}  // namespace prnsim::test
