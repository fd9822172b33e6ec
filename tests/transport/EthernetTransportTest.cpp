// The network transport and its monitor against the virtual printer on loopback.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
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

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::TcpMode;
using prnsim::TcpOptions;
using prnsim::TcpPrinter;

const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int32_t kNotYetDecoded = 99;

TcpOptions NetworkModel() {
    TcpOptions options;
    options.printer.errorsSetOffline = false;
    return options;
}

// A port on which nothing listens.
std::string ClosedPort() {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t size = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &size);
    close(sock);
    return std::to_string(ntohs(addr.sin_port));
}

class Network : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        isThermal = 0;
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override { CloseLikeJava(); }

    std::string Port() const { return std::to_string(printer.port()); }
    long OpenLikeJava(const std::string& address = "SOCKET:127.0.0.1") {
        const long rtn = OpenFromJava(address.c_str(), Port().c_str());
        if (rtn == 0) {
            m_bOpen = 1;
        } else {
            ClosePort();
        }
        return rtn;
    }
    static void CloseLikeJava() {
        ReleaseDevice();
        if (m_bOpen) ClosePort();
        m_bOpen = 0;
    }
    void ClaimThermal() {
        ASSERT_EQ(OpenLikeJava(), 0);
        printer.clearRecord();
        PrinterStatusResult = kNotYetDecoded;
        ASSERT_EQ(Claim(0, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(2000)));
        ASSERT_TRUE(StatusBecomes(kStatusReady));
    }
    static bool StatusBecomes(int32_t status) {
        return WaitFor([status] { return PrinterStatusResult == status; }, milliseconds(4000));
    }

    TcpPrinter printer{NetworkModel()};
};

TEST_F(Network, OpensAReadyPrinterWithThePrefix) {
    EXPECT_EQ(OpenLikeJava(), 0);
    EXPECT_EQ(printer.received(), (Bytes{0x10, 0x04, 0x02, 0x10, 0x04, 0x04}));
    EXPECT_EQ(netPort.portnum, printer.port());
    EXPECT_EQ(ReNetPort.sock, netPort.sock);
}

TEST_F(Network, AddressTextsItRefuses) {
    const std::string port = Port();
    for (const std::string& address :
         std::vector<std::string>{"127.0.0.1", "socket:127.0.0.1", "SOCKET:127.0.0.1:" + port, "SOCKET:localhost",
          "SOCKET:" + std::string(64, '1')}) {
        EXPECT_EQ(OpenLikeJava(address), -1) << address;
        EXPECT_EQ(m_bOpen, 0);
        EXPECT_EQ(netPort.sock, kNoSocket);
    }
    EXPECT_EQ(printer.connectionCount(), 0);
    EXPECT_EQ(OpenFromJava("SOCKET:127.0.0.1", ""), -1);  // port 0
    ClosePort();
}

TEST_F(Network, NothingListeningFailsWithinASecond) {
    const auto start = Clock::now();
    EXPECT_EQ(OpenFromJava("SOCKET:127.0.0.1", ClosedPort().c_str()), -1);
    EXPECT_LT(MillisSince(start), 1000 * 14 / 10 + 150);
    ClosePort();
}

TEST_F(Network, ProbeResults) {
    printer.setReply2(Bytes{0x16});
    EXPECT_EQ(OpenLikeJava(), 1);
    EXPECT_EQ(printer.countReceived(Bytes{0x10, 0x04, 0x04}), 0u);
    printer.setReply2(std::nullopt);
    printer.setReply4(Bytes{0x32});
    EXPECT_EQ(OpenLikeJava(), 2);
    printer.setReply4(Bytes{0x52});
    EXPECT_EQ(OpenLikeJava(), 2);
    EXPECT_EQ(netPort.sock, kNoSocket);
}

TEST_F(Network, AcceptThenCloseGivesUpAfterFourTries) {
    printer.setMode(TcpMode::CloseOnAccept);
    const auto start = Clock::now();
    EXPECT_EQ(OpenLikeJava(), -1);
    const long took = MillisSince(start);
    EXPECT_GE(took, 380);  // four 100 ms pauses
    EXPECT_LT(took, 400 * 14 / 10 + 150);
}

TEST_F(Network, SilentPeerGivesUpInsteadOfHanging) {
    printer.setMode(TcpMode::Silent);
    const auto start = Clock::now();
    EXPECT_EQ(OpenLikeJava(), -1);
    EXPECT_LT(MillisSince(start), 1500);
}

TEST_F(Network, DecoderVariantThroughTheMonitor) {
    ClaimThermal();
    printer.setCoverOpen(true);  // 30/34 from this model
    EXPECT_TRUE(StatusBecomes(kStatusCoverOpen));
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    printer.setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    printer.setPaper(prnsim::Paper::End);  // 10/14 with 0F
    EXPECT_TRUE(StatusBecomes(kStatusPaperEnd));
    printer.setPaper(prnsim::Paper::Ok);
    EXPECT_TRUE(StatusBecomes(kStatusReady));

    // 38 means nothing to this variant.
    printer.sendToHost(Bytes{0x38, 0x00, 0x00, 0x00});
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_EQ(PrinterStatusResult, kStatusReady);

    // A tie between drawer readings asks the printer again.
    ASSERT_TRUE(WaitFor([] { return m_bOffline == 0; }, milliseconds(2000)));
    const size_t enables = printer.countReceived(kEnable);
    m_bPowerOFF = 0;
    printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00});
    EXPECT_TRUE(printer.waitForSequence(kEnable, enables + 1, milliseconds(2000)));
}

TEST_F(Network, ResetDuringAClaimReconnectsOnTheNextWrite) {
    ClaimThermal();
    printer.reset();
    EXPECT_TRUE(StatusBecomes(kStatusOffline));
    EXPECT_TRUE(WaitFor([] { return m_bPowerOFF == 1; }, milliseconds(2000)));
    printer.clearRecord();
    const Bytes job(300, 'j');
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(job.data(), 300), 300);
    EXPECT_GE(MillisSince(start), 1400);  // 500 ms for the new monitor, 1 s before the resend
    EXPECT_EQ(m_bPowerOFF, 0);
    EXPECT_EQ(printer.connectionCount(), 2);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, milliseconds(2000)));
    ASSERT_TRUE(printer.waitForBytes(303, milliseconds(2000)));
    for (const auto& chunk : printer.chunks()) EXPECT_EQ(chunk.connection, 1);
    EXPECT_EQ(printer.countReceived(Bytes(300, 'j')), 1u);
    EXPECT_TRUE(StatusBecomes(kStatusReady));
    EXPECT_EQ(ReNetPort.sock, netPort.sock);
}

TEST_F(Network, AClosedConnectionDoesNotSwallowTheNextJob) {
    ClaimThermal();
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    printer.clearRecord();
    const Bytes job(100, 'k');
    EXPECT_EQ(WritePort(job.data(), 100), 100);
    ASSERT_TRUE(printer.waitForBytes(100, milliseconds(3000)));
    EXPECT_EQ(printer.countReceived(job), 1u);
    EXPECT_EQ(printer.connectionCount(), 2);
}

TEST_F(Network, FailedSendReconnectsAndResendsTheWholeBuffer) {
    ClaimThermal();
    printer.clearRecord();
    printer.dropAfter(1000);  // the printer goes away in the middle of the job
    Bytes job(200000);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i);
    const long sent = WritePort(job.data(), static_cast<long>(job.size()));
    EXPECT_GE(sent, 0);
    EXPECT_LT(sent, static_cast<long>(job.size()));
    EXPECT_EQ(printer.connectionCount(), 2);
    // The whole job again on the new connection.
    Bytes second;
    ASSERT_TRUE(WaitFor(
        [&] {
            second.clear();
            for (const auto& chunk : printer.chunks()) {
                if (chunk.connection == 1) second.insert(second.end(), chunk.bytes.begin(), chunk.bytes.end());
            }
            return prnsim::countOccurrences(second, job) == 1;
        },
        milliseconds(10000)));
}

TEST_F(Network, WritesAreRefusedOrReportNoPort) {
    ASSERT_EQ(OpenLikeJava(), 0);
    printer.clearRecord();
    const uint8_t byte = 'r';
    m_bCoverOpen = 1;
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    m_bCoverOpen = 0;
    EXPECT_EQ(ReadPort(nullptr, 0), 0);
    ClosePort();
    m_bOpen = 0;
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_NOT_OPEN);
    EXPECT_TRUE(printer.received().empty());
}

TEST_F(Network, ImpactWriteIsRepeatedWhenShort) {
    ASSERT_EQ(OpenLikeJava(), 0);
    isThermal = 0;
    printer.clearRecord();
    m_bCoverOpen = 1;
    const uint8_t job[3] = {'a', 'b', 'c'};
    EXPECT_EQ(WriteFromJava(job, 3), BRELON_ERROR_IO_FAIL);  // refused twice
    m_bCoverOpen = 0;
    EXPECT_EQ(WriteFromJava(job, 3), 3);
    EXPECT_TRUE(printer.waitForBytes(3, milliseconds(2000)));
}

TEST_F(Network, ReadDataIsBoundedAndWokenByClose) {
    ASSERT_EQ(OpenLikeJava(), 0);
    uint8_t buffer[256];
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), 0);
    EXPECT_LT(MillisSince(start), 200 * 14 / 10 + 150);
    printer.sendToHost(Bytes{0x0D, 0x0A, 0x00, 0xFF});
    ASSERT_TRUE(WaitFor([&] { return ReadPort(buffer, sizeof buffer) == 4; }, milliseconds(2000)));
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x0D, 0x0A, 0x00, 0xFF}));
}

TEST_F(Network, CloseIsQuickAndLeavesNothingBehind) {
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    for (int cycle = 0; cycle < 3; ++cycle) {
        ClaimThermal();
        printer.setMode(TcpMode::Silent);
        const auto start = Clock::now();
        CloseLikeJava();
        EXPECT_LT(MillisSince(start), 1500);
        printer.setMode(TcpMode::Normal);
    }
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(Network, NoSigpipeWhenThePrinterIsGone) {
    // Not ignoring SIGPIPE here on purpose: a send on a dead connection must not kill us.
    ASSERT_EQ(OpenLikeJava(), 0);
    printer.setMode(TcpMode::Refuse);
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    const Bytes job(5000, 'p');
    EXPECT_EQ(WritePort(job.data(), 5000), BRELON_ERROR_IO_FAIL) << printer.connectionCount();
    EXPECT_EQ(WritePort(job.data(), 5000), BRELON_ERROR_IO_FAIL);
}

}  // namespace
