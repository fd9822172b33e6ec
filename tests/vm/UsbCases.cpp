// libprnusb on usblp: /dev/usb/lp0 is a real USB printer-class node whose far end is the
// printer gadget's /dev/g_printer0, where the virtual printer answers.
#include <gtest/gtest.h>

#include "VmSupport.h"

namespace {

using namespace prntest;
using namespace prnvm;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxUSB";
const prnsim::Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int kReady = 0;
constexpr int kOffline = 8;

class UsbNode : public GadgetNodeTest {
  protected:
    UsbNode()
        : GadgetNodeTest(kClass, Env("PRN_VM_USB_NODE", "/dev/usb/lp0"),
                         Env("PRN_VM_USB_GADGET_NODE", "/dev/g_printer0"), false) {}
    void OpenAndClaim() {
        ASSERT_EQ(lib.openPort(node, ""), kReady);
        ASSERT_EQ(lib.claim(1000, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(3)));
    }
};

TEST_F(UsbNode, OpenProbeResults) {
    struct Case {
        const char* what;
        int expected;
    };
    for (const Case c :
         {Case{"ready", 0}, Case{"cover open", 1}, Case{"paper end", 2}, Case{"silent", -1}}) {
        const std::string what = c.what;
        printer.setCoverOpen(what == "cover open");
        printer.setPaper(what == "paper end" ? prnsim::Paper::End : prnsim::Paper::Ok);
        printer.setSilent(what == "silent");
        const auto start = Clock::now();
        EXPECT_EQ(lib.openPort(node, ""), c.expected) << what;
        Figure("open, %s printer: %d after %ld ms", c.what, c.expected, MillisSince(start));
        ClosePort();
    }
    printer.setSilent(false);
    printer.setCoverOpen(false);
    printer.setPaper(prnsim::Paper::Ok);
}

TEST_F(UsbNode, A64KiBJobArrivesIntact) {
    ASSERT_EQ(lib.openPort(node, ""), kReady);
    printer.clearRecord();
    const prnsim::Bytes job = Job(64 * 1024, 11);
    const auto start = Clock::now();
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(20)));
    Figure("64 KiB written and received in %ld ms", MillisSince(start));
    EXPECT_EQ(printer.received(), job);
}

// A printer with nothing to say is not a lost one: the status stays ready.
TEST_F(UsbNode, AQuietPrinterStaysReadyFor10s) {
    OpenAndClaim();
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kReady; }, seconds(10)));
}

// Unplugged, the node vanishes and the status says offline; plugged in again, the monitor opens
// the new node, the status is ready, and the next job reaches the printer through it.
TEST_F(UsbNode, UnplugAndReplug) {
    OpenAndClaim();
    ASSERT_TRUE(PlugGadget(false));
    auto start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, seconds(5)));
    Figure("unplugged: status 8 after %ld ms", MillisSince(start));
    EXPECT_TRUE(WaitFor([&] { return !Exists(node); }, seconds(5))) << node << " stays";
    ASSERT_TRUE(PlugGadget(true));
    start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(10)));
    Figure("plugged in again: status 0 after %ld ms", MillisSince(start));
    ASSERT_TRUE(WaitFor([&] { return printer.isOpen(); }, seconds(5)));
    printer.clearRecord();
    const prnsim::Bytes job = Job(2000, 12);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(10)));
    EXPECT_EQ(printer.received(), job);
}

TEST_F(UsbNode, ACloseLeavesNothing) {
    TakeBaseline();
    OpenAndClaim();
    EXPECT_TRUE(lib.waitForCompletePrinting(0));
    ClosePort();
    ExpectNothingLeft();
}

}  // namespace
