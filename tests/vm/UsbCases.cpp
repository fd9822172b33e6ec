// libprnusb on usblp: /dev/usb/lp0 is a real USB printer-class node whose far end is the
// printer gadget's /dev/g_printer0, where the virtual printer answers. The gadget's device ID
// (its printer function's pnp_string) is what the node gives for LPIOC_GET_DEVICE_ID.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "VmSupport.h"
#include "prnsim/Usblp.h"

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

// ---- The driver's rules, which the stand-in node of the native tests copies ----

// The node's reply to LPIOC_GET_DEVICE_ID with `room` bytes of room, in a buffer of room + 8
// bytes filled with 0xEE beforehand; empty with *error set when the request fails.
prnsim::Bytes DeviceIdReply(int fd, size_t room, int* error) {
    prnsim::Bytes reply(room + 8, 0xEE);
    *error = ::ioctl(fd, prnsim::usblpDeviceIdRequest(room), reply.data()) == 0 ? 0 : errno;
    return *error == 0 ? reply : prnsim::Bytes{};
}

// A second open of the node, as another program would make it: 0, or -errno.
int SecondOpen(const std::string& node) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -errno;
    ::close(fd);
    return 0;
}

// The device ID comes with two bytes of big-endian length in front, cut to the room given and
// nothing written beyond it. What the gadget sends is shown as a figure.
TEST_F(UsbNode, TheNodeGivesTheDeviceIdWithItsLength) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string id = GadgetDeviceId();
    int error = 0;
    const prnsim::Bytes whole = DeviceIdReply(fd, 1024, &error);
    ASSERT_EQ(error, 0) << std::strerror(error);
    const size_t length = size_t{whole[0]} << 8 | whole[1];
    ASSERT_GE(length, 2u);
    ASSERT_LE(length, 1024u);
    const std::string text(whole.begin() + 2, whole.begin() + static_cast<long>(length));
    Figure("device ID: length %zu, \"%s\"; the gadget's \"%s\" (%zu characters)", length,
           text.c_str(), id.c_str(), id.size());
    EXPECT_EQ(length, id.size() + 2) << "the length counts its own two bytes";
    EXPECT_EQ(text, id);
    EXPECT_EQ(whole[length], 0xEE) << "written beyond the ID";
    const prnsim::Bytes cut = DeviceIdReply(fd, 10, &error);
    ASSERT_EQ(error, 0);
    prnsim::Bytes expected(whole.begin(), whole.begin() + 10);
    expected.resize(18, 0xEE);
    EXPECT_EQ(cut, expected);
    // One open at a time, even without the library.
    EXPECT_EQ(SecondOpen(node), -EBUSY);
    ::close(fd);
    EXPECT_EQ(SecondOpen(node), 0);
}

// Another program's open of the node while the library holds it is refused (EBUSY), and the
// library goes on as before: ready, printing, completing.
TEST_F(UsbNode, ASecondOpenIsRefusedAndTheLibraryGoesOn) {
    OpenAndClaim();
    EXPECT_EQ(SecondOpen(node), -EBUSY);
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kReady; }, seconds(3)));
    EXPECT_EQ(SecondOpen(node), -EBUSY);
    printer.clearRecord();
    const prnsim::Bytes job = Job(2000, 13);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(lib.waitForCompletePrinting(0));
    EXPECT_EQ(printer.countReceived(job), 1u);
    EXPECT_EQ(lib.getPrinterStatus(0), kReady);
}

// A case that changes the gadget's device ID: the ID the tier set, and the gadget plugged in,
// again afterwards.
class UsbNodeOtherPrinter : public UsbNode {
  protected:
    void SetUp() override {
        UsbNode::SetUp();
        original_ = GadgetDeviceId();
    }
    void TearDown() override {
        UsbNode::TearDown();
        if (GadgetDeviceId() != original_) {
            PlugGadget(false);
            SetGadgetDeviceId(original_);
        }
        PlugGadget(true);
        WaitFor([&] { return Exists(node) && printer.isOpen(); }, seconds(10));
    }
    // Unplugs the gadget, gives it this ID and plugs it in again.
    bool ReplugAs(const std::string& id) {
        return PlugGadget(false) &&
               WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, seconds(5)) &&
               SetGadgetDeviceId(id) && GadgetDeviceId() == id && PlugGadget(true) &&
               WaitFor([&] { return Exists(node); }, seconds(10));
    }

    std::string original_;
};

// The gadget comes back under the same node with another device ID: another printer, which the
// library does not take (offline, jobs refused). Back with the first ID it is taken again.
TEST_F(UsbNodeOtherPrinter, AnotherPrinterUnderTheSameNodeIsNotTaken) {
    OpenAndClaim();
    ASSERT_TRUE(ReplugAs("MFG:Other;MDL:LX-9;CMD:ESC/POS;CLS:PRINTER;"));
    auto start = Clock::now();
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kOffline; }, seconds(5)))
        << "status " << lib.getPrinterStatus(0) << " after " << MillisSince(start)
        << " ms with another printer on the node";
    printer.clearRecord();
    const prnsim::Bytes refused = Job(500, 14);
    EXPECT_EQ(lib.writeData(refused, Size(refused), 0), -2);

    ASSERT_TRUE(ReplugAs(original_));
    start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(10)));
    Figure("the printer back: status 0 after %ld ms", MillisSince(start));
    ASSERT_TRUE(WaitFor([&] { return printer.isOpen(); }, seconds(5)));
    const prnsim::Bytes job = Job(2000, 15);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(WaitFor([&] { return printer.countReceived(job) == 1; }, seconds(10)));
    EXPECT_EQ(printer.countReceived(refused), 0u);
}

}  // namespace
