// The modem shim, linked into this executable: its ioctl serves TIOCM* for the lines the
// virtual printer publishes, its ioctl and tcdrain stand in for an output queue that does not
// drain, and both leave every other descriptor and request to the kernel.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
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
    static int outputQueue(int fd) {
        int bytes = -1;
        return ::ioctl(fd, TIOCOUTQ, &bytes) == 0 ? bytes : -errno;
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

// A call that may block, on a thread of its own; its result is 0 or -errno.
class BlockingCall {
  public:
    explicit BlockingCall(std::function<int()> call)
        : thread_([this, call] { result_.set_value(call() == 0 ? 0 : -errno); }) {}
    ~BlockingCall() { thread_.join(); }
    bool returnsWithin(std::chrono::milliseconds span) {
        return future_.wait_for(span) == std::future_status::ready;
    }
    int result() { return future_.get(); }
    void signal(int number) { ::pthread_kill(thread_.native_handle(), number); }

  private:
    std::promise<int> result_;
    std::future<int> future_ = result_.get_future();
    std::thread thread_;  // last: it may set result_ at once
};

TEST_F(ModemShimTest, StuckLineHoldsTheDrainUntilItFlowsOrGoes) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    Fd host = openRawSlave(printer.devicePath());
    ASSERT_GE(host.get(), 0);

    ASSERT_TRUE(printer.setOutputStuck(300));
    EXPECT_EQ(outputQueue(host.get()), 300);
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01}));
    EXPECT_FALSE(printer.waitForBytes(1, 150ms));  // the printer takes nothing from the line
    {
        BlockingCall drain([&] { return ::tcdrain(host.get()); });
        BlockingCall drainByIoctl([&] { return ::ioctl(host.get(), TCSBRK, 1); });
        EXPECT_FALSE(drain.returnsWithin(200ms));
        const auto cleared = Clock::now();
        EXPECT_TRUE(printer.setOutputStuck(0));
        EXPECT_TRUE(drain.returnsWithin(2s) && drainByIoctl.returnsWithin(2s));
        EXPECT_LT(Clock::now() - cleared, 20ms * 1.4 + 150ms);
        EXPECT_EQ(drain.result(), 0);
        EXPECT_EQ(drainByIoctl.result(), 0);
    }
    EXPECT_EQ(outputQueue(host.get()), 0);
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});  // what waited on the line is read

    ASSERT_TRUE(printer.setOutputStuck(1));
    BlockingCall drain([&] { return ::tcdrain(host.get()); });
    EXPECT_FALSE(drain.returnsWithin(100ms));
    EXPECT_TRUE(printer.unplug());  // the line is gone
    EXPECT_TRUE(drain.returnsWithin(2s));
    EXPECT_EQ(drain.result(), 0);
    EXPECT_EQ(printer.outputStuck(), 1u);
}

TEST_F(ModemShimTest, SignalEndsTheDrainOnlyWithoutRestart) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    Fd host = openRawSlave(printer.devicePath());
    struct sigaction previous {};
    for (const int flags : {SA_RESTART, 0}) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        action.sa_flags = flags;
        ::sigaction(SIGUSR1, &action, flags == SA_RESTART ? &previous : nullptr);
        ASSERT_TRUE(printer.setOutputStuck(64));
        BlockingCall drain([&] { return ::tcdrain(host.get()); });
        // Signals until it returns, as the first may come before the wait begins.
        bool returned = false;
        for (int i = 0; i < 8 && !returned; ++i) {
            drain.signal(SIGUSR1);
            returned = drain.returnsWithin(50ms);
        }
        EXPECT_EQ(returned, flags == 0);
        printer.setOutputStuck(0);
        EXPECT_TRUE(drain.returnsWithin(2s));
        EXPECT_EQ(drain.result(), flags == 0 ? -EINTR : 0);
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(ModemShimTest, OutputQueueFieldIsOptionalAndUnknownFieldsAreKept) {
    SerialPrinter plain;  // publishes nothing itself
    Fd host = openRawSlave(plain.devicePath());
    const std::string slave = plain.slavePath();
    const std::string other = "/dev/ttyOTHER 0x20 outq=3 colour=blue\n";
    std::ofstream(file_) << slave << " 0x160 colour=red outq=7\n" << other;
    EXPECT_EQ(outputQueue(host.get()), 7);
    EXPECT_EQ(modemBits(host.get()) & TIOCM_DSR, TIOCM_DSR);
    ASSERT_TRUE(publishModemLine(file_, slave, 0x120));  // the bits only
    EXPECT_EQ(readModemEntry(file_, slave), (ModemEntry{0x120, 7}));

    // Without the field (or with 0) the pty answers for itself, as a pty does.
    ASSERT_TRUE(publishModemEntry(file_, slave, {0x160, 0}));
    std::ifstream in(file_);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              slave + " 0x160 colour=red\n" + other);
    EXPECT_EQ(outputQueue(host.get()), 0);
    BlockingCall drain([&] { return ::tcdrain(host.get()); });
    EXPECT_TRUE(drain.returnsWithin(150ms));
    EXPECT_EQ(drain.result(), 0);
    EXPECT_FALSE(plain.setOutputStuck(5));  // no modem emulation, nothing to publish
}

// Busy and a stuck line each stop the reader; ending one leaves the other in force.
TEST_F(ModemShimTest, BusyAndStuckLineHoldTheReaderEachOnItsOwn) {
    SerialOptions options;
    options.modem = true;
    SerialPrinter printer(options);
    Fd host = openRawSlave(printer.devicePath());
    ASSERT_GE(host.get(), 0);

    ASSERT_TRUE(printer.setOutputStuck(300));
    printer.setBusy(true);
    ASSERT_TRUE(writeAll(host.get(), {0x10, 0x04, 0x01}));
    printer.setBusy(false);
    EXPECT_FALSE(printer.waitForBytes(1, 150ms));  // still stuck
    EXPECT_EQ(outputQueue(host.get()), 300);
    printer.setBusy(true);
    ASSERT_TRUE(printer.setOutputStuck(0));
    EXPECT_FALSE(printer.waitForBytes(1, 150ms));  // still busy
    printer.setBusy(false);
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x16});
}

}  // namespace
}  // namespace prnsim::test
