// The modem shim, linked into this executable: its ioctl serves TIOCM* for the lines the
// virtual printer publishes, and leaves every other descriptor and request to the kernel.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "SimTestSupport.h"
#include "prnsim/ModemFile.h"
#include "prnsim/SerialPrinter.h"

namespace prnsim::test {
namespace {

namespace fs = std::filesystem;

class ModemShimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("prnsim-modem-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        file_ = (dir_ / "lines").string();
        ::setenv("PRNSIM_MODEM_FILE", file_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PRNSIM_MODEM_FILE");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static int modemBits(int fd) {
        int bits = 0;
        return ::ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -errno;
    }

    fs::path dir_;
    std::string file_;
};

TEST_F(ModemShimTest, DsrFollowsThePrinter) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    ASSERT_TRUE(printer.ok()) << printer.error();
    Fd host = openRawSlave(printer.devicePath());
    ASSERT_GE(host.get(), 0);

    EXPECT_EQ(modemBits(host.get()) & (TIOCM_DSR | TIOCM_CTS | TIOCM_CAR),
              TIOCM_DSR | TIOCM_CTS | TIOCM_CAR);
    ASSERT_TRUE(printer.setDsr(false));
    EXPECT_EQ(modemBits(host.get()) & TIOCM_DSR, 0);
    EXPECT_NE(modemBits(host.get()) & TIOCM_CTS, 0);
    ASSERT_TRUE(printer.setDsr(true));
    EXPECT_NE(modemBits(host.get()) & TIOCM_DSR, 0);

    // The host's own lines are kept by the shim.
    int dtr = TIOCM_DTR;
    EXPECT_EQ(::ioctl(host.get(), TIOCMBIC, &dtr), 0);
    EXPECT_EQ(modemBits(host.get()) & TIOCM_DTR, 0);
    EXPECT_EQ(::ioctl(host.get(), TIOCMBIS, &dtr), 0);
    EXPECT_NE(modemBits(host.get()) & TIOCM_DTR, 0);

    // Other requests still reach the kernel: FIONREAD works on a pty.
    int pending = -1;
    EXPECT_EQ(::ioctl(host.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0);
}

TEST_F(ModemShimTest, LinesOfOtherPrintersAreKept) {
    SerialOptions options;
    options.modem = true;
    options.link = (dir_ / "ttyPRN").string();  // the host opens a symlink
    SerialPrinter first(options);
    options.link.clear();
    SerialPrinter second(options);
    ASSERT_TRUE(first.ok() && second.ok());
    ASSERT_TRUE(second.setDsr(false));
    Fd a = openRawSlave(first.devicePath());
    Fd b = openRawSlave(second.devicePath());
    EXPECT_NE(modemBits(a.get()) & TIOCM_DSR, 0);
    EXPECT_EQ(modemBits(b.get()) & TIOCM_DSR, 0);
    EXPECT_EQ(readModemLine(file_, second.slavePath()), kPrinterReadyModemBits & ~TIOCM_DSR);
}

TEST_F(ModemShimTest, NoModemStatusWithoutAnEntry) {
    SerialPrinter plain;  // no modem emulation: publishes nothing
    ASSERT_TRUE(plain.ok());
    Fd host = openRawSlave(plain.devicePath());
    EXPECT_EQ(modemBits(host.get()), -ENOTTY);
    EXPECT_FALSE(plain.setDsr(true));

    SerialOptions options;
    options.modem = true;
    SerialPrinter modem(options);
    Fd modemHost = openRawSlave(modem.devicePath());
    ASSERT_NE(modemBits(modemHost.get()), -ENOTTY);
    ::unsetenv("PRNSIM_MODEM_FILE");
    EXPECT_EQ(modemBits(modemHost.get()), -ENOTTY);
    errno = 0;
    int bits;
    EXPECT_EQ(::ioctl(-1, TIOCMGET, &bits), -1);
    EXPECT_EQ(errno, EBADF);
    SerialPrinter noFile(options);
    EXPECT_FALSE(noFile.setDsr(true));
}

TEST_F(ModemShimTest, UnplugRemovesTheLine) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    const std::string slave = printer.slavePath();
    EXPECT_TRUE(readModemLine(file_, slave).has_value());
    ASSERT_TRUE(printer.unplug());
    EXPECT_FALSE(readModemLine(file_, slave).has_value());
    ASSERT_TRUE(printer.replug());
    EXPECT_TRUE(readModemLine(file_, printer.slavePath()).has_value());
}

TEST_F(ModemShimTest, ConcurrentRequestsWhileTheFileChanges) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    Fd host = openRawSlave(printer.devicePath());
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> askers;
    for (int i = 0; i < 4; ++i) {
        askers.emplace_back([&] {
            while (!stop) {
                int bits;
                if (::ioctl(host.get(), TIOCMGET, &bits) != 0 || !(bits & TIOCM_CTS)) ++failures;
            }
        });
    }
    for (int i = 0; i < 200; ++i) printer.setDsr(i % 2 == 0);
    stop = true;
    for (std::thread& t : askers) t.join();
    EXPECT_EQ(failures, 0);  // the file is replaced atomically: never seen half written
}

}  // namespace
}  // namespace prnsim::test
