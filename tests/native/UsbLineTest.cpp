// The USB library through its natives on a printer-node stand-in (a raw pty behind a symlink
// that unplug removes and replug re-points): a quiet printer is not a lost one, an unplugged
// node is reopened under the same descriptor number, and a close in the middle of that leaves
// nothing behind. With the usblp driver's rules (the modem shim, linked in, applies them to the
// stand-in): a failed read on a printer still plugged in is no unplug, another printer under
// the same path is not this one, and a completion wait ends soon after an unplug.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "LineTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/Usblp.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxUSB";
const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int kReady = 0;
constexpr int kOffline = 8;
constexpr int kIoFail = -2;
// A pass comes every 500 ms; a change shows within one, with the usual tolerance.
constexpr long kOnePassMs = 500 * 14 / 10 + 150;

prnsim::SerialOptions Node() {
    static int made = 0;
    prnsim::SerialOptions options;
    options.link = "/tmp/prn-usbline-" + std::to_string(getpid()) + "-" + std::to_string(made++);
    options.rawMaster = true;
    return options;
}

// The descriptor of this process that names path's target, or -1.
int DescriptorOf(const std::string& target) {
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char name[256];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, name, sizeof name - 1);
        if (n <= 0) continue;
        name[n] = '\0';
        if (target == name) return fd;
    }
    return -1;
}

class UsbLine : public NativePortTest {
  protected:
    UsbLine() : NativePortTest(kClass) {}

    void SetUp() override { ASSERT_TRUE(lib.ok()) << lib.error(); }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }
    void OpenAndClaim(prnsim::SerialPrinter& printer, bool thermal = true) {
        ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
        ASSERT_EQ(lib.claim(1000, thermal), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(3)));
    }
    // How long until the status reads `status`, or -1 when it does not within the timeout.
    long MillisUntilStatus(int status, milliseconds timeout) {
        const auto start = Clock::now();
        if (!WaitFor([&] { return lib.getPrinterStatus(0) == status; }, timeout)) return -1;
        return MillisSince(start);
    }
};

// Nothing waiting on the node (a read fails with EAGAIN) is a quiet printer, not a lost one:
// the status stays ready, no reopen re-sends the enable command, writes are accepted.
TEST_F(UsbLine, AQuietPrinterStaysReady) {
    prnsim::SerialPrinter printer(Node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    OpenAndClaim(printer);
    const int node = DescriptorOf(printer.slavePath());
    ASSERT_GE(node, 0);
    int samples = 0;
    int notReady = 0;
    for (const auto end = Clock::now() + seconds(4); Clock::now() < end; ++samples) {
        if (lib.getPrinterStatus(0) != kReady) ++notReady;
        std::this_thread::sleep_for(milliseconds(50));
    }
    EXPECT_EQ(notReady, 0) << "of " << samples << " samples";
    EXPECT_EQ(printer.countReceived(kEnable), 1u) << "the node was reopened";
    EXPECT_EQ(DescriptorOf(printer.slavePath()), node);
    const Bytes job = Job(3000, 1);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));
}

// Unplugged: offline within one pass and writes refused; the dead descriptor keeps its number,
// so a file opened meanwhile gets another one and no print data can reach it. Replugged: the
// new node takes that number, the status comes back, and the next job reaches the new node.
TEST_F(UsbLine, AnUnpluggedNodeComesBackUnderItsNumber) {
    for (const bool thermal : {true, false}) {
        SCOPED_TRACE(thermal ? "thermal" : "impact");
        prnsim::SerialPrinter printer(Node());
        ASSERT_TRUE(printer.ok()) << printer.error();
        OpenAndClaim(printer, thermal);
        const int node = DescriptorOf(printer.slavePath());
        ASSERT_GE(node, 0);

        ASSERT_TRUE(printer.unplug());
        const long offlineAfter = MillisUntilStatus(kOffline, seconds(3));
        EXPECT_GE(offlineAfter, 0) << "no offline report";
        EXPECT_LE(offlineAfter, kOnePassMs);
        const Bytes refused = Job(500, 2);
        EXPECT_EQ(lib.writeData(refused, Size(refused), 0), kIoFail);
        ScratchFile jvmFile;
        EXPECT_NE(jvmFile.fd(), node) << "the dead node's number was given away";

        ASSERT_TRUE(printer.replug());
        // A reopen attempt every second, then the enable command and the printer's report.
        EXPECT_GE(MillisUntilStatus(kReady, seconds(4)), 0) << "not ready after the replug";
        EXPECT_TRUE(printer.waitForSequence(kEnable, 2, seconds(3)));
        EXPECT_EQ(DescriptorOf(printer.slavePath()), node) << "the new node has another number";
        const Bytes job = Job(2000, 3);
        EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
        EXPECT_TRUE(WaitFor([&] { return printer.countReceivedOn(1, job) == 1; }, seconds(3)));
        EXPECT_EQ(printer.countReceivedOn(0, refused), 0u);
        EXPECT_EQ(jvmFile.size(), 0) << "print data went into the JVM's file";
        ClosePort();
    }
}

// A close while the monitor is trying to reopen an unplugged node ends the attempts: no thread
// and no descriptor are left, and a replug afterwards opens nothing.
TEST_F(UsbLine, ACloseDuringTheReopenLeavesNothing) {
    prnsim::SerialPrinter printer(Node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    TakeBaseline();
    OpenAndClaim(printer);
    ASSERT_TRUE(printer.unplug());
    ASSERT_GE(MillisUntilStatus(kOffline, seconds(3)), 0);
    const auto start = Clock::now();
    ClosePort();
    EXPECT_TRUE(About(MillisSince(start), 1000)) << MillisSince(start) << " ms (the release wait)";
    // Plugged again, the printer has its own thread and descriptor back, as at the baseline.
    ASSERT_TRUE(printer.replug());
    ExpectNothingLeft();
    EXPECT_FALSE(WaitFor([&] { return DescriptorOf(printer.slavePath()) >= 0; }, seconds(2)))
        << "the node was opened after the close";
}

// The first write after a thermal claim that returned 0 is accepted, and a close without a
// claim does not wait for a monitor that never ran.
TEST_F(UsbLine, TheEdgesOfAJob) {
    prnsim::SerialPrinter printer(Node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
    const Bytes receipt = Job(12000, 4);
    EXPECT_EQ(lib.writeData(receipt, Size(receipt), 0), Size(receipt));
    auto start = Clock::now();
    lib.closePort();
    EXPECT_LT(MillisSince(start), 150) << "a close without a claim";
    EXPECT_TRUE(WaitFor([&] { return printer.countReceived(receipt) == 1; }, seconds(3)));

    ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
    ASSERT_EQ(lib.claim(1000, true), 0);
    EXPECT_EQ(printer.countReceived(kEnable), 1u)
        << "the claim returned before its first pass had enabled automatic status";
    const Bytes job = Job(200, 5);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    NativeLibrary* const port = &lib;
    auto completed = ReturnsWithin(seconds(3), [port] { return port->waitForCompletePrinting(0); });
    EXPECT_TRUE(completed.value_or(false));
    if (!completed) lib.closePort();
    start = Clock::now();
    lib.closePort();
    EXPECT_TRUE(About(MillisSince(start), 1000)) << MillisSince(start) << " ms after a claim";
}

// ---- The usblp driver's rules ----

const std::string kAcme = "MFG:Acme;MDL:TM1;CMD:ESCPOS;";
const std::string kOther = "MFG:Other;MDL:LX-9;CMD:ESCPOS;";

// A node by the usblp rules, giving a device ID: the shim finds it in the process's state file
// (NativeMain).
class UsbNodeRules : public UsbLine {
  protected:
    static prnsim::SerialOptions RulesNode(const std::string& deviceId) {
        prnsim::SerialOptions options = Node();
        options.usblp = true;
        options.deviceId = deviceId;
        return options;
    }
    // The longest run of samples (every 20 ms for span) whose status was not ready, in ms.
    long LongestNotReadyMs(milliseconds span) {
        long longest = 0;
        std::optional<Clock::time_point> since;
        for (const auto end = Clock::now() + span; Clock::now() < end;) {
            const bool ready = lib.getPrinterStatus(0) == kReady;
            if (!ready && !since) since = Clock::now();
            if (since) longest = std::max(longest, MillisSince(*since));
            if (ready) since.reset();
            std::this_thread::sleep_for(milliseconds(20));
        }
        return longest;
    }
};

// A transfer that failed on a printer still plugged in (the driver fails one read with EIO, the
// node stays, nothing hangs up) is no status block for that pass, not an unplug: the status is
// ready again within 2 s and never offline for more than a pass, the node is not opened again
// while the library holds it (the driver would refuse: EBUSY), and the next job is printed.
TEST_F(UsbNodeRules, AFailedReadOnAPrinterStillThereIsNoUnplug) {
    prnsim::SerialPrinter printer(RulesNode(kAcme));
    ASSERT_TRUE(printer.ok()) << printer.error();
    OpenAndClaim(printer);
    const unsigned long refusedBefore = prnsim_usblp_refused_opens();
    const unsigned long failedBefore = prnsim_usblp_failed_reads();
    ASSERT_TRUE(printer.failNextRead());
    ASSERT_TRUE(WaitFor([&] { return prnsim_usblp_failed_reads() > failedBefore; }, seconds(3)))
        << "the monitor did not read the node";
    const long longest = LongestNotReadyMs(milliseconds(2000));
    EXPECT_LE(longest, kOnePassMs) << "not ready for " << longest << " ms after one failed read";
    EXPECT_EQ(lib.getPrinterStatus(0), kReady) << "not ready 2 s after one failed read";
    EXPECT_EQ(prnsim_usblp_refused_opens(), refusedBefore)
        << "the library opened the node again while it held it";
    const Bytes job = Job(2000, 21);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));
}

// Unplugged, and another printer (another device ID) comes back under the same path: it is not
// this printer, so the status stays offline and jobs are refused. When this printer comes back,
// the status is ready within 2 s and the next job reaches it.
TEST_F(UsbNodeRules, AnotherPrinterUnderTheSamePathIsNotTaken) {
    prnsim::SerialPrinter printer(RulesNode(kAcme));
    ASSERT_TRUE(printer.ok()) << printer.error();
    OpenAndClaim(printer);
    ASSERT_TRUE(printer.unplug());
    ASSERT_GE(MillisUntilStatus(kOffline, seconds(3)), 0) << "no offline report";

    ASSERT_TRUE(printer.setDeviceId(kOther));
    ASSERT_TRUE(printer.replug());
    const auto start = Clock::now();
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kOffline; }, seconds(4)))
        << "status " << lib.getPrinterStatus(0) << " after " << MillisSince(start)
        << " ms with another printer under the path";
    const Bytes refused = Job(500, 22);
    EXPECT_EQ(lib.writeData(refused, Size(refused), 0), kIoFail);

    ASSERT_TRUE(printer.unplug());
    ASSERT_GE(MillisUntilStatus(kOffline, seconds(3)), 0);
    ASSERT_TRUE(printer.setDeviceId(kAcme));
    ASSERT_TRUE(printer.replug());
    const long readyAfter = MillisUntilStatus(kReady, seconds(5));
    EXPECT_GE(readyAfter, 0) << "not ready with the printer back";
    EXPECT_LE(readyAfter, 2000 * 14 / 10 + 150);
    const Bytes job = Job(2000, 23);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(WaitFor([&] { return printer.countReceivedOn(2, job) == 1; }, seconds(3)));
    EXPECT_EQ(printer.countReceivedOn(1, refused), 0u);
}

// A completion wait in progress (the printer is still printing the job) when the node is
// unplugged ends, false, within about a second: the answer can never come through that node.
TEST_F(UsbNodeRules, ACompletionWaitEndsSoonAfterAnUnplug) {
    prnsim::SerialPrinter printer(RulesNode(kAcme));
    ASSERT_TRUE(printer.ok()) << printer.error();
    OpenAndClaim(printer);
    printer.setPrintSpeed(500);  // the job takes some 8 s to print
    const Bytes job = Job(4000, 24);
    ASSERT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    NativeLibrary* const port = &lib;
    BackgroundCall wait([port] { return port->waitForCompletePrinting(0); });
    ASSERT_FALSE(wait.returnedWithin(milliseconds(500))) << "the wait ended before the unplug";

    ASSERT_TRUE(printer.unplug());
    const auto unplugged = Clock::now();
    const bool returned = wait.returnedWithin(seconds(4));
    const long tookMs = MillisSince(unplugged);
    EXPECT_TRUE(returned) << "the completion wait goes on " << tookMs << " ms after the unplug";
    if (returned) {
        EXPECT_LE(tookMs, 1000 * 14 / 10 + 150);
        EXPECT_FALSE(wait.result()) << "completed on an unplugged node";
    } else {
        ClosePort();  // ends the wait
        EXPECT_TRUE(wait.returnedWithin(seconds(5)));
    }
}

}  // namespace
