// A claimed network printer: the status monitor on the connection, the network decoder variant,
// losing the connection and getting it back on the next write, and release.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "Claim.h"
#include "DeviceState.h"
#include "LinuxEthernet.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Transport.h"
#include "TransportTestSupport.h"
#include "prnsim/TcpPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(ReOpenPort)
inline NETPort& netPort = NetworkRecord(SharedPort()).netPort;
inline NETPort& ReNetPort = NetworkRecord(SharedPort()).ReNetPort;
inline std::atomic<int>& isThermal = NetworkRecord(SharedPort()).isThermal;

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::Paper;
using prnsim::TcpMode;
using prnsim::TcpOptions;
using prnsim::TcpPrinter;

const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int32_t kNotYetDecoded = 99;

TcpOptions NetworkModel() {
    TcpOptions options;
    // Cover open 30/34, paper end 10/14 with 0F.
    options.printer.model = prnsim::StatusModel::NetworkTable;
    return options;
}

class EthernetMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        isThermal = 0;
        ASSERT_TRUE(printer.ok()) << printer.error();
        threadsBefore = ThreadCount();
    }
    void TearDown() override { CloseLikeJava(); }

    static void CloseLikeJava() {
        ReleaseDevice();
        if (m_bOpen) ClosePort();
        m_bOpen = 0;
    }
    void Claim(bool thermal) {
        const std::string port = std::to_string(printer.port());
        ASSERT_EQ(OpenFromJava("SOCKET:127.0.0.1", port.c_str()), 0);
        m_bOpen = 1;
        printer.clearRecord();
        PrinterStatusResult = kNotYetDecoded;
        ASSERT_EQ(::Claim(0, thermal), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(2000)));
        ASSERT_TRUE(StatusBecomes(kStatusReady));
        ASSERT_TRUE(WaitFor([] { return m_bOffline == 0; }, milliseconds(2000)));
    }
    static bool StatusBecomes(int32_t status) {
        return WaitFor([status] { return PrinterStatusResult == status; }, milliseconds(4000));
    }
    // The monitor has taken everything the printer sent.
    static bool MonitorTookAll() {
        return WaitFor(
            [] {
                int pending = -1;
                return ioctl(netPort.sock, FIONREAD, &pending) == 0 && pending == 0;
            },
            milliseconds(2000));
    }
    // Every byte since the last clearRecord arrived on this connection.
    void ExpectAllOnConnection(int connection) {
        for (const auto& chunk : printer.chunks()) {
            EXPECT_EQ(chunk.connection, connection) << chunk.bytes.size() << " bytes";
        }
    }

    TcpPrinter printer{NetworkModel()};
    int threadsBefore = 0;
};

TEST_F(EthernetMonitor, ThermalClaimEnablesStatusInItsFastFirstPass) {
    const std::string port = std::to_string(printer.port());
    ASSERT_EQ(OpenFromJava("SOCKET:127.0.0.1", port.c_str()), 0);
    m_bOpen = 1;
    printer.clearRecord();
    const auto start = Clock::now();
    EXPECT_EQ(::Claim(0, true), 0);
    EXPECT_GE(MillisSince(start), 490);
    EXPECT_EQ(m_bSleepFlag, 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(2000)));
    // The first pass sleeps 50 ms, not the 500 ms idle interval.
    const auto enabledAfter = printer.chunks().front().time - start;
    EXPECT_GE(enabledAfter, milliseconds(45));
    EXPECT_LT(enabledAfter, milliseconds(50 * 14 / 10 + 150));
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
}

TEST_F(EthernetMonitor, NetworkDecoderVariant) {
    Claim(true);
    const uint8_t byte = 'x';

    printer.setDrawerOpen(true);  // 10: the drawer signal is low
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 1; }, milliseconds(3000)));
    printer.setDrawerOpen(false);
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 0; }, milliseconds(3000)));

    const size_t enables = printer.countReceived(kEnable);
    printer.setCoverOpen(true);  // 30/34
    EXPECT_TRUE(StatusBecomes(kStatusCoverOpen));
    EXPECT_EQ(m_bCoverOpen, 1);
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    EXPECT_TRUE(printer.waitForSequence(kEnable, enables + 1, milliseconds(2000)))
        << "cover open re-enables automatic status";
    printer.setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(kStatusReady));

    printer.setPaper(Paper::End);  // 10/14 with 0F
    EXPECT_TRUE(StatusBecomes(kStatusPaperEnd));
    EXPECT_EQ(m_bPaperEmpty, 1);
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    printer.setPaper(Paper::NearEnd);
    EXPECT_TRUE(StatusBecomes(kStatusPaperNearEnd));
    printer.setPaper(Paper::Ok);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_EQ(m_bPaperEmpty, 0);

    // A printer that follows the public command reference sets the offline bit with them: cover
    // open 38, paper end 18 .. 0F, a cutter jam 18 08. Those are read here too; each report makes
    // the monitor enable automatic status again, and this printer then answers ready.
    const struct {
        Bytes block;
        int32_t status;
    } reference[] = {{{0x38, 0x00, 0x00, 0x00}, kStatusCoverOpen},
                     {{0x18, 0x00, 0x0F, 0x00}, kStatusPaperEnd},
                     {{0x18, 0x08, 0x00, 0x00}, kStatusOffline}};
    for (const auto& r : reference) {
        ASSERT_TRUE(MonitorTookAll());
        ASSERT_TRUE(WaitFor([] { return m_bOffline == 0; }, milliseconds(2000)));
        printer.sendToHost(r.block);
        EXPECT_TRUE(StatusBecomes(r.status)) << r.status;
        EXPECT_TRUE(StatusBecomes(kStatusReady));
    }
}

// As many block starts say "drawer closed" as "drawer open": the monitor asks the printer
// again (GS a 255), pauses 100 ms, and only then applies ready, leaving the drawer as it was.
TEST_F(EthernetMonitor, DrawerTieAsksThePrinterAgain) {
    Claim(true);
    ASSERT_TRUE(MonitorTookAll());
    m_DrawerOpened = 1;  // the printer's drawer is closed: only the tie rule keeps this
    PrinterStatusResult = kNotYetDecoded;
    const size_t enables = printer.countReceived(kEnable);
    printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00});
    ASSERT_TRUE(printer.waitForSequence(kEnable, enables + 1, milliseconds(2000)));
    const auto asked = printer.chunks().back().time;
    ASSERT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_GE(Clock::now() - asked, milliseconds(80));
    EXPECT_EQ(m_DrawerOpened, 1);
}

TEST_F(EthernetMonitor, CompletionReplyIsSeenOnTheConnection) {
    Claim(true);
    const auto start = Clock::now();
    OutputCompletePrinting();
    EXPECT_EQ(m_OutputComplemetFlag, 1);
    EXPECT_LT(MillisSince(start), 1000);
}

// The printer closes the connection in order (switched off cleanly, its own idle timeout): the
// monitor's receive sees the end of the stream. Nothing replaces that connection by itself, so
// the printer is offline until the next write reconnects; the monitor ends.
TEST_F(EthernetMonitor, DroppedConnectionIsReconnectedByTheNextWrite) {
    Claim(true);
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    EXPECT_EQ(m_bPowerOFF, 1);
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsBefore; }, milliseconds(2000)))
        << "the monitor ends at the end of the stream";

    printer.clearRecord();
    const Bytes job(300, 'j');
    EXPECT_EQ(WritePort(job.data(), static_cast<long>(job.size())), 300);
    EXPECT_EQ(printer.connectionCount(), 2);
    EXPECT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(2000)));
    EXPECT_TRUE(printer.waitForSequence(job, 1, milliseconds(2000)));
    EXPECT_EQ(printer.countReceived(job), 1u);
    ExpectAllOnConnection(1);
    EXPECT_TRUE(StatusBecomes(kStatusReady)) << "the new connection reports what the printer says";
}

// The printer closed its end and refuses a new connection: the write fails, and the status says
// offline until a connection succeeds.
TEST_F(EthernetMonitor, AFailedReconnectionReportsOffline) {
    Claim(false);
    printer.setMode(TcpMode::Refuse);
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    const Bytes job(30, 'r');
    EXPECT_EQ(WriteFromJava(job.data(), 30), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(PrinterStatusResult, kStatusOffline);
    printer.setMode(TcpMode::Normal);
    EXPECT_EQ(WriteFromJava(job.data(), 30), 30);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
}

// The printer goes away in the middle of a job: what it acknowledged got there, and only what it
// did not goes again, once, on the new connection; the job goes on from there and is reported
// whole.
TEST_F(EthernetMonitor, ALostLinkSendsAgainOnlyWhatWasNotTaken) {
    Claim(true);
    printer.clearRecord();
    printer.dropAfter(1000);
    Bytes job(200000);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 13 + i / 509);
    const long sent = WritePort(job.data(), static_cast<long>(job.size()));
    EXPECT_EQ(sent, static_cast<long>(job.size()));
    EXPECT_EQ(printer.connectionCount(), 2);
    EXPECT_TRUE(WaitFor(
        [&] {
            Bytes all = printer.receivedOn(0);
            const Bytes second = printer.receivedOn(1);
            // The new connection starts with the rest of the job; the monitor's enable comes
            // after what the lost connection owed.
            Bytes rest;
            for (size_t i = 0; i < second.size(); ++i) {
                if (i + kEnable.size() <= second.size() &&
                    std::equal(kEnable.begin(), kEnable.end(), second.begin() + i)) {
                    i += kEnable.size() - 1;
                    continue;
                }
                rest.push_back(second[i]);
            }
            all.insert(all.end(), rest.begin(), rest.end());
            return all == job;
        },
        milliseconds(10000)));
    EXPECT_EQ(printer.countReceivedOn(1, kEnable), 1u);
}

// An impact claim: the enable goes out before the first pass, blocks are read by the impact
// decoder, and after a reset the next write restarts the impact monitor.
TEST_F(EthernetMonitor, ImpactClaimAndReconnection) {
    Claim(false);
    EXPECT_EQ(isThermal, 0);
    printer.setCoverOpen(true);
    EXPECT_TRUE(StatusBecomes(kStatusCoverOpen));
    printer.setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    printer.setPaper(Paper::End);
    EXPECT_TRUE(StatusBecomes(kStatusPaperEnd));
    printer.setPaper(Paper::Ok);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    printer.setDrawerOpen(true);
    EXPECT_TRUE(WaitFor([] { return m_DrawerOpened == 1; }, milliseconds(3000)));

    printer.reset();
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    EXPECT_EQ(m_bPowerOFF, 0);  // the impact monitor only reports it
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsBefore; }, milliseconds(2000)));

    printer.clearRecord();
    const Bytes job(50, 'i');
    EXPECT_EQ(WriteFromJava(job.data(), 50), 50);
    EXPECT_EQ(printer.connectionCount(), 2);
    ASSERT_TRUE(printer.waitForSequence(job, 1, milliseconds(2000)));
    EXPECT_EQ(printer.countReceived(job), 1u);
    EXPECT_EQ(printer.countReceived(kEnable), 1u);
    ExpectAllOnConnection(1);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
}

// Not ignoring SIGPIPE on purpose: the release's enable on a connection the printer has closed
// (the first draws a reset, the second meets the broken pipe) must not end the process.
TEST_F(EthernetMonitor, SendsOnADeadConnectionRaiseNoSignal) {
    Claim(true);
    printer.setMode(TcpMode::Refuse);
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    for (int release = 0; release < 2; ++release) {
        ReleaseDevice();
        std::this_thread::yield();
    }
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);  // nothing to reconnect to
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
}

TEST_F(EthernetMonitor, CloseIsBoundedAndLeavesNothingBehind) {
    const int descriptors = OpenDescriptorCount();
    for (bool thermal : {true, false, true}) {
        Claim(thermal);
        printer.setMode(TcpMode::Silent);
        const auto start = Clock::now();
        CloseLikeJava();
        EXPECT_LT(MillisSince(start), 1500) << (thermal ? "thermal" : "impact");
        EXPECT_FALSE(MonitorStarted());
        EXPECT_EQ(netPort.sock, kNoSocket);
        printer.setMode(TcpMode::Normal);
    }
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptorCount() == descriptors; }, milliseconds(2000)))
        << OpenDescriptorCount() << " descriptors, " << descriptors << " before";
}

}  // namespace
