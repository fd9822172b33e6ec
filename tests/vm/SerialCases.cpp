// libprnserial on cdc-acm: /dev/ttyACM0 is a real tty with modem lines, whose far end is the
// ACM gadget's /dev/ttyGS0, where the virtual printer answers. The host's DSR is up while the
// gadget side is open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "VmSupport.h"

namespace {

using namespace prntest;
using namespace prnvm;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxSerial";
const prnsim::Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int kReady = 0;
constexpr int kOffline = 8;

class AcmLine : public GadgetNodeTest {
  protected:
    AcmLine()
        : GadgetNodeTest(kClass, Env("PRN_VM_ACM_NODE", "/dev/ttyACM0"),
                         Env("PRN_VM_ACM_GADGET_NODE", "/dev/ttyGS0"), true) {}
    // The line's settings as the driver holds them, read through a descriptor of our own.
    termios Settings() {
        const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios settings{};
        if (fd >= 0 && tcgetattr(fd, &settings) != 0) settings = termios{};
        if (fd >= 0) ::close(fd);
        return settings;
    }

    bool DataSetReady() {
        const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        int lines = 0;
        const bool read = fd >= 0 && ioctl(fd, TIOCMGET, &lines) == 0;
        if (fd >= 0) ::close(fd);
        return read && (lines & TIOCM_DSR) != 0;
    }
};

TEST_F(AcmLine, ParityAndDataBitsReadBack) {
    struct Case {
        const char* settings;
        tcflag_t parity;
    };
    // In this order: the last open without parity comes after one with it.
    for (const Case c :
         {Case{"9600,even,7,1,none", PARENB}, Case{"9600,odd,7,1,none", PARENB | PARODD},
          Case{"19200,none,8,2,none", 0}}) {
        ASSERT_EQ(lib.openPort(node, c.settings), kReady) << c.settings;
        const termios settings = Settings();
        const tcflag_t flags = settings.c_cflag;
        EXPECT_EQ(flags & (PARENB | PARODD), c.parity) << c.settings;
        // Parity checked and the eighth bit stripped only with parity.
        EXPECT_EQ((settings.c_iflag & (INPCK | ISTRIP)) != 0, c.parity != 0) << c.settings;
        EXPECT_EQ(flags & CSIZE,
                  std::string(c.settings).find(",7,") != std::string::npos ? CS7 : CS8)
            << c.settings;
        Figure("%s: c_cflag parity %s, %s, %s stop bits", c.settings,
               !(flags & PARENB)  ? "none"
               : (flags & PARODD) ? "odd"
                                  : "even",
               (flags & CSIZE) == CS7 ? "7 bits" : "8 bits", (flags & CSTOPB) ? "2" : "1");
        ClosePort();
    }
}

// The gadget side closes: DSR drops, and the thermal claim's monitor says offline (writes are
// refused meanwhile). Open again: DSR is back, the monitor goes on, and a job goes out.
TEST_F(AcmLine, DsrDropDuringAThermalClaim) {
    ASSERT_EQ(lib.openPort(node, "9600,none,8,1,hdwr"), kReady);
    ASSERT_EQ(lib.claim(1000, true), 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(3)));
    printer.setOpen(false);
    auto start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, seconds(3)));
    Figure("gadget side closed: status 8 after %ld ms", MillisSince(start));
    printer.setOpen(true);
    start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(5)));
    Figure("gadget side open again: status 0 after %ld ms", MillisSince(start));
    printer.clearRecord();
    const prnsim::Bytes job = Job(3000, 21);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(10)));
    EXPECT_EQ(printer.received(), job);
}

// With the handshake and no monitor to refuse it, a job written while DSR is down is held, and
// goes out whole once the gadget side is open again.
TEST_F(AcmLine, TheHandshakeWriterHoldsWhileDsrIsDown) {
    ASSERT_EQ(lib.openPort(node, "9600,none,8,1,hdwr"), kReady);
    printer.setOpen(false);
    ASSERT_TRUE(WaitFor([&] { return !DataSetReady(); }, seconds(3))) << "DSR stays up";
    printer.clearRecord();
    const prnsim::Bytes job = Job(3000, 22);
    NativeLibrary* const port = &lib;
    BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
    EXPECT_FALSE(writer.returnedWithin(milliseconds(1500))) << "the writer did not hold";
    printer.setOpen(true);
    const auto start = Clock::now();
    ASSERT_TRUE(writer.returnedWithin(seconds(10)));
    EXPECT_EQ(writer.result(), Size(job));
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(10)));
    Figure("held job: out %ld ms after DSR came back", MillisSince(start));
    EXPECT_EQ(printer.received(), job);
}

}  // namespace
