// Claiming a serial printer: the status monitor, the impact claim probe, release and the wait
// for printing to complete, against the virtual printer with its DSR line.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <thread>

#include "Claim.h"
#include "DeviceState.h"
#include "LinuxSerial.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Transport.h"
#include "TransportTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(serConfigurePort)
inline SerPort& serPort = SerialRecord(SharedPort());
inline StateWord& SStopIt = SharedPort().state.monitorRun;

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::Paper;
using prnsim::SerialOptions;
using prnsim::SerialPrinter;

const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int32_t kNotYetDecoded = 99;

SerialOptions WithModem(unsigned printSpeed = 0) {
    SerialOptions options;
    options.modem = true;
    options.printer.printSpeed = printSpeed;
    return options;
}

class SerialMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        ASSERT_TRUE(printer.ok()) << printer.error();
        ASSERT_TRUE(printer.setDsr(true));
    }
    void TearDown() override {
        ReleaseDevice();
        ClosePort();
        m_bOpen = 0;
    }

    // What _openPort does for a ready printer.
    void OpenLine(const char* settings = "9600,none,8,1,none") {
        ASSERT_EQ(OpenPort(printer.devicePath().c_str(), settings), BRELON_ERROR_SUCCESS);
        m_bOpen = 1;
        printer.clearRecord();
        // Not a status the printer can report: tells when the monitor decoded its first block.
        PrinterStatusResult = kNotYetDecoded;
    }
    void ClaimThermal() {
        OpenLine();
        ASSERT_EQ(Claim(0, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(3000)));
        ASSERT_TRUE(StatusBecomes(kStatusReady));
        ASSERT_TRUE(WaitFor([] { return m_bOffline == 0; }, milliseconds(3000)));
    }
    static bool StatusBecomes(int32_t status) {
        return WaitFor([status] { return PrinterStatusResult == status; }, milliseconds(3000));
    }

    SerialPrinter printer{WithModem()};
};

TEST_F(SerialMonitor, ThermalClaimEnablesStatusOnceInTheFirstPass) {
    OpenLine();
    const auto start = Clock::now();
    // The first passes are fast (50 ms): the first one enables automatic status and clears the
    // offline flag well before the claim returns after 500 ms.
    EXPECT_EQ(Claim(0, true), 0);
    EXPECT_GE(MillisSince(start), 490);
    EXPECT_EQ(m_bOffline, 0);
    EXPECT_EQ(printer.countReceived(kEnable), 1u);
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), 1);
    // Quiet passes do not repeat it.
    std::this_thread::sleep_for(milliseconds(1200));
    EXPECT_EQ(printer.countReceived(kEnable), 1u);
}

TEST_F(SerialMonitor, StatusBlocksDriveTheState) {
    ClaimThermal();
    EXPECT_EQ(m_DrawerOpened, 0);

    printer.setDrawerOpen(true);
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 1; }, milliseconds(3000)));
    printer.setDrawerOpen(false);
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 0; }, milliseconds(3000)));

    printer.setPaper(Paper::NearEnd);
    EXPECT_TRUE(StatusBecomes(kStatusPaperNearEnd));
    printer.setPaper(Paper::End);
    EXPECT_TRUE(StatusBecomes(kStatusPaperEnd));
    EXPECT_EQ(m_bPaperEmpty, 1);
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    printer.setPaper(Paper::Ok);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_EQ(m_bPaperEmpty, 0);
}

TEST_F(SerialMonitor, CoverOpenRefusesWritesAndReenablesStatus) {
    ClaimThermal();
    printer.setCoverOpen(true);
    ASSERT_TRUE(StatusBecomes(kStatusCoverOpen));
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    // The cover-open block set the offline flag: the next pass sends the enable again.
    EXPECT_TRUE(printer.waitForSequence(kEnable, 2, milliseconds(3000)));
    printer.setCoverOpen(false);
    ASSERT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_TRUE(WaitFor([] { return m_bOffline == 0 && m_bCoverOpen == 0; }, milliseconds(2000)));
    EXPECT_EQ(WritePort(&byte, 1), 1);
}

TEST_F(SerialMonitor, DsrDropIsOfflineUntilItReturns) {
    ClaimThermal();
    printer.setDsr(false);
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    EXPECT_EQ(m_bOffline, 1);
    const size_t enables = printer.countReceived(kEnable);
    printer.setDsr(true);
    // Back online: the next pass re-enables and the printer's block reports it ready.
    EXPECT_TRUE(printer.waitForSequence(kEnable, enables + 1, milliseconds(3000)));
    EXPECT_TRUE(StatusBecomes(kStatusReady));
}

TEST_F(SerialMonitor, ReleaseDuringAnOfflineWaitEndsTheMonitor) {
    ClaimThermal();
    printer.setDsr(false);
    ASSERT_TRUE(StatusBecomes(kStatusOffline));
    const auto start = Clock::now();
    ReleaseDevice();
    EXPECT_LT(MillisSince(start), 1000 * 14 / 10 + 150);
    EXPECT_FALSE(MonitorStarted());
}

TEST_F(SerialMonitor, ImpactClaimNeedsAReadyPrinter) {
    OpenLine();
    printer.setCoverOpen(true);
    EXPECT_EQ(Claim(0, false), 1);
    EXPECT_EQ(m_bOpen, 0);
    EXPECT_EQ(serPort.port, kNoDescriptor);
    EXPECT_FALSE(MonitorStarted());
    // The NUL, then DLE EOT 2; the cover-open reply ends the probe.
    EXPECT_EQ(printer.received(), (Bytes{0x00, 0x10, 0x04, 0x02}));
}

TEST_F(SerialMonitor, ImpactClaimRefusedOnPaperEnd) {
    OpenLine();
    printer.setReply4(Bytes{0x72});
    EXPECT_EQ(Claim(0, false), 1);
    EXPECT_EQ(m_bOpen, 0);
    EXPECT_EQ(printer.countReceived(Bytes{0x10, 0x04, 0x04}), 1u);
}

TEST_F(SerialMonitor, ImpactClaimOfASilentPrinterGivesUp) {
    OpenLine();
    printer.setSilent(true);
    const auto start = Clock::now();
    EXPECT_EQ(Claim(0, false), 1);
    // Seven reads of about 100 ms of silence each.
    EXPECT_GE(MillisSince(start), 650);
    EXPECT_LT(MillisSince(start), 700 * 14 / 10 + 150);
}

TEST_F(SerialMonitor, ImpactMonitorReportsStatusAndDrawer) {
    OpenLine();
    ASSERT_EQ(Claim(0, false), 0);
    // Impact mode enables status before the first sleep.
    EXPECT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(1000)));
    EXPECT_EQ(m_bOffline, 0);
    printer.setDrawerOpen(true);
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 1; }, milliseconds(3000)));
    printer.setCoverOpen(true);
    EXPECT_TRUE(StatusBecomes(kStatusCoverOpen));
    printer.setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    // A decoded status does not make the impact monitor re-enable.
    EXPECT_EQ(printer.countReceived(kEnable), 1u);
}

TEST_F(SerialMonitor, ImpactLineOfflineWithNothingToReadIsPaperEnd) {
    OpenLine();
    ASSERT_EQ(Claim(0, false), 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(1000)));
    ASSERT_TRUE(StatusBecomes(kStatusReady));
    printer.setDsr(false);
    EXPECT_TRUE(StatusBecomes(kStatusPaperEnd));
    EXPECT_EQ(m_bPaperEmpty, 1);
    printer.setDsr(true);
    // When the line returns the monitor enables status again.
    EXPECT_TRUE(printer.waitForSequence(kEnable, 2, milliseconds(3000)));
    EXPECT_TRUE(StatusBecomes(kStatusReady));
}

TEST_F(SerialMonitor, SecondClaimReplacesTheMonitor) {
    ClaimThermal();
    const int threads = ThreadCount();
    ASSERT_EQ(Claim(0, true), 0);
    EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(SerialMonitor, CompletionSeenSoonAfterTheReply) {
    ClaimThermal();
    const Bytes job(200, 'a');
    ASSERT_EQ(WritePort(job.data(), static_cast<long>(job.size())), 200);
    const auto start = Clock::now();
    OutputCompletePrinting();
    EXPECT_EQ(m_OutputComplemetFlag, 1);
    // The rest of the monitor's current idle sleep, 50 ms polling after it, the 100 ms settle.
    EXPECT_LT(MillisSince(start), (500 + 50 + 100) * 14 / 10 + 150);
    EXPECT_EQ(m_bSleepFlag, 0);
}

TEST_F(SerialMonitor, CompletionEndsOnCoverOpen) {
    ClaimThermal();
    printer.setPrintSpeed(200);
    const Bytes job(2000, 'a');
    ASSERT_EQ(WritePort(job.data(), static_cast<long>(job.size())), 2000);
    std::thread cover([&] {
        std::this_thread::sleep_for(milliseconds(300));
        printer.setCoverOpen(true);
    });
    const auto start = Clock::now();
    OutputCompletePrinting();
    cover.join();
    EXPECT_EQ(m_OutputComplemetFlag, 0);
    EXPECT_EQ(PrinterStatusResult, kStatusCoverOpen);
    EXPECT_LT(MillisSince(start), 3000);
}

TEST_F(SerialMonitor, CompletionEndsOnRelease) {
    ClaimThermal();
    printer.setSilent(true);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        OutputCompletePrinting();
        done = true;
    });
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(done);
    const auto start = Clock::now();
    ReleaseDevice();
    ClosePort();
    m_bOpen = 0;
    waiter.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(m_OutputComplemetFlag, 0);
    EXPECT_LT(MillisSince(start), 2000);
}

TEST_F(SerialMonitor, CompletionRepeatsTheRequestEveryTenSeconds) {
    ClaimThermal();
    printer.setSilent(true);
    // GS ( H fn 48 and an identifier of the wait's own; the request sent again is the same.
    const Bytes head{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
    std::thread waiter([] { OutputCompletePrinting(); });
    ASSERT_TRUE(printer.waitForSequence(head, 1, milliseconds(2000)));
    const auto first = Clock::now();
    Bytes request;
    ASSERT_TRUE(WaitFor(
        [&] {
            const Bytes got = printer.received();
            const auto at = std::search(got.begin(), got.end(), head.begin(), head.end());
            if (got.end() - at < 11) return false;
            request.assign(at, at + 11);
            return true;
        },
        milliseconds(1000)));
    EXPECT_EQ(request[10], 0x46) << "the identifier's last byte is always F";
    EXPECT_TRUE(printer.waitForSequence(request, 2, milliseconds(15000)));
    const long gap = MillisSince(first);
    EXPECT_GE(gap, 9900);
    EXPECT_LT(gap, 10000 * 14 / 10 + 150);
    EXPECT_EQ(m_bSleepFlag, 1);  // the monitor polls fast while the wait runs
    ReleaseDevice();
    waiter.join();
    EXPECT_EQ(m_OutputComplemetFlag, 0);
    EXPECT_EQ(m_bSleepFlag, 0);
}

TEST_F(SerialMonitor, NoThreadOutlivesItsClaim) {
    const int before = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    for (int cycle = 0; cycle < 50; ++cycle) {
        OpenLine();
        ASSERT_EQ(Claim(0, cycle % 2 == 0), 0) << cycle;
        ReleaseDevice();
        ClosePort();
        m_bOpen = 0;
    }
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// ---- the DTR/DSR handshake of "hdwr" ----

TEST_F(SerialMonitor, HandshakeHoldsDataWhileDsrIsLow) {
    ASSERT_EQ(OpenPort(printer.devicePath().c_str(), "9600,none,8,1,hdwr"), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    printer.setDsr(false);
    std::thread raise([&] {
        std::this_thread::sleep_for(milliseconds(400));
        printer.setDsr(true);
    });
    const Bytes job(1000, 'h');
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(job.data(), 1000), 1000);
    raise.join();
    EXPECT_GE(MillisSince(start), 380);
    ASSERT_TRUE(printer.waitForBytes(1000, milliseconds(3000)));
}

TEST_F(SerialMonitor, HandshakeGivesUpAfterFiveSecondsWithoutProgress) {
    ASSERT_EQ(OpenPort(printer.devicePath().c_str(), "9600,none,8,1,hdwr"), BRELON_ERROR_SUCCESS);
    printer.setDsr(false);
    const uint8_t byte = 'h';
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    EXPECT_GE(MillisSince(start), 4950);
    EXPECT_LT(MillisSince(start), 5000 * 14 / 10 + 150);
}

TEST_F(SerialMonitor, NoneWritesWhateverDsrSays) {
    OpenLine();
    printer.setDsr(false);
    const Bytes job(1000, 'n');
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(job.data(), 1000), 1000);
    EXPECT_LT(MillisSince(start), 300);
}

TEST(SerialHandshake, LineWithoutModemStatusIsNotHeld) {
    ResetDeviceState();
    SerialPrinter plain;  // publishes no modem lines: TIOCMGET fails as on a bare pty
    ASSERT_EQ(OpenPort(plain.devicePath().c_str(), "9600,none,8,1,hdwr"), BRELON_ERROR_SUCCESS);
    const Bytes job(1000, 'p');
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(job.data(), 1000), 1000);
    EXPECT_LT(MillisSince(start), 300);
    EXPECT_TRUE(plain.waitForBytes(1006, milliseconds(3000)));
    ClosePort();
}

}  // namespace
