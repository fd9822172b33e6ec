// The edges of a job on the serial line, where a service that prints receipt after receipt
// meets them: the close right after the last write, the first write right after a claim, and a
// close that has no monitor to wait for. Run against an older build's library
// (PRN_NATIVE_LIB) they show what it got wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LineTestSupport.h"
#include "prnsim/SerialPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxSerial";
const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int kReady = 0;

prnsim::SerialOptions Printer(unsigned readRate = 0) {
    prnsim::SerialOptions options;
    options.modem = true;
    options.readRate = readRate;
    return options;
}

class SerialJobEdge : public NativePortTest {
  protected:
    SerialJobEdge() : NativePortTest(kClass) {}

    void SetUp() override { ASSERT_TRUE(lib.ok()) << lib.error(); }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }
    static bool ArrivedWhole(const prnsim::SerialPrinter& printer, const Bytes& job,
                             milliseconds within) {
        return WaitFor([&] { return prnsim::countOccurrences(printer.received(), job) == 1; },
                       within);
    }
};

// A printer slower than the line: the writes return once the driver holds the bytes, and the
// service closes at once. Everything a write reported as written still reaches the printer.
TEST_F(SerialJobEdge, CloseKeepsTheEndOfTheReceipt) {
    prnsim::SerialPrinter printer(Printer(4000));
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), 0);
    const Bytes job = Job(10000, 7);
    ASSERT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    ClosePort();
    EXPECT_TRUE(ArrivedWhole(printer, job, seconds(8)))
        << printer.received().size() << " of " << job.size() << " bytes arrived";
}

// On a line whose driver counts its output queue, the close waits while the queue drains, and
// the rest of the job goes out; it gives up only when the line stops taking data for the
// no-progress allowance.
TEST_F(SerialJobEdge, CloseWaitsForTheOutputQueue) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), 0);
    const Bytes job = Job(300, 3);
    NativeLibrary* const port = &lib;
    // The queue counts 512 bytes and holds them until the line flows again.
    ASSERT_TRUE(printer.setOutputStuck(512));
    BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
    EXPECT_FALSE(writer.returnedWithin(milliseconds(300)));
    BackgroundCall closing([port] { port->closePort(); });
    // The writer gives up at once (the port is being closed), the close waits for the queue.
    EXPECT_TRUE(writer.returnedWithin(seconds(1)));
    EXPECT_FALSE(closing.returnedWithin(milliseconds(1500)))
        << "the close threw away the output queue";
    printer.setOutputStuck(0);
    EXPECT_TRUE(closing.returnedWithin(seconds(2)));
    EXPECT_TRUE(ArrivedWhole(printer, job, seconds(3)));
}

// The first write after a thermal claim that returned 0 is accepted, and a completion wait
// right after the claim gets its reply. The claim's first pass has enabled automatic status
// (and so cleared the offline flag) before the claim returns, not in a race with its return.
TEST_F(SerialJobEdge, TheFirstWriteAfterAClaimIsAccepted) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::SerialPrinter printer(Printer());
        ASSERT_TRUE(printer.ok() && printer.setDsr(true));
        ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        EXPECT_EQ(printer.countReceived(kEnable), 1u)
            << "the claim returned before its first pass had enabled automatic status";
        const Bytes job = Job(200, static_cast<unsigned>(round));
        EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
        NativeLibrary* const port = &lib;
        auto completed =
            ReturnsWithin(seconds(3), [port] { return port->waitForCompletePrinting(0); });
        EXPECT_TRUE(completed.has_value()) << "the completion wait sat out its re-send";
        if (!completed) lib.closePort();  // ends it
        EXPECT_TRUE(completed.value_or(false));
        EXPECT_EQ(lib.getPrinterStatus(0), kReady);
        ClosePort();
    }
}

// A service that opens, prints and closes for every receipt: with no claim there is no
// monitor, and the close does not sit out a release wait for one. After a claim it still does.
TEST_F(SerialJobEdge, ACloseWaitsOnlyForAMonitorThatRan) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    auto start = Clock::now();
    lib.closePort();
    EXPECT_LT(MillisSince(start), 150) << "a close with nothing open";

    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    const Bytes job = Job(2000, 1);
    ASSERT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    start = Clock::now();
    lib.closePort();
    EXPECT_LT(MillisSince(start), 150) << "a close without a claim";
    EXPECT_TRUE(ArrivedWhole(printer, job, seconds(3)));

    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    ASSERT_EQ(lib.claim(1000, true), 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    start = Clock::now();
    lib.closePort();
    EXPECT_TRUE(About(MillisSince(start), 1000)) << MillisSince(start) << " ms after a claim";
}

// A line keeps its settings from one open to the next. One opened with parity strips the eighth
// bit of what it receives; opened again without parity, every byte of the printer's (a status
// block, a reply to a read) must arrive whole.
TEST_F(SerialJobEdge, AnOpenWithoutParityReadsAllEightBits) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    if (lib.openPort(printer.devicePath(), "9600,even,7,1,none") == kReady) ClosePort();
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), kReady);
    const Bytes high{0xFF, 0x80, 0xC3};
    printer.sendToHost(high);
    std::vector<uint8_t> into(16);
    ASSERT_EQ(lib.readData(into, 16, 1000), 3);
    into.resize(3);
    EXPECT_EQ(into, high) << "the eighth bit was stripped";
}

}  // namespace
