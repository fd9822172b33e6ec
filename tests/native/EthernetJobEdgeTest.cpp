// The edges of a job on the network printer's connection: the first write right after a claim,
// a receipt written in small pieces, and a close that has no monitor to wait for. Run against
// an older build's library (PRN_NATIVE_LIB) they show what it got wrong.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "LineTestSupport.h"
#include "prnsim/TcpPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxEthernet";
const Bytes kEnable{0x1D, 0x61, 0xFF};
constexpr int kReady = 0;
constexpr int kOffline = 8;

// The process's TCP sockets connected to the printer's port: the library's connections.
std::vector<int> SocketsTo(uint16_t port) {
    std::vector<int> found;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return found;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == dirfd(dir)) continue;
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) continue;
        if (peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) found.push_back(fd);
    }
    closedir(dir);
    return found;
}

int NoDelay(int sock) {
    int value = -1;
    socklen_t size = sizeof value;
    return getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0 ? value : -1;
}

class EthernetJobEdge : public NativePortTest {
  protected:
    EthernetJobEdge() : NativePortTest(kClass) {}

    void SetUp() override { ASSERT_TRUE(lib.ok()) << lib.error(); }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }
    long Open(prnsim::TcpPrinter& printer) {
        return lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port()));
    }
    void ExpectNoDelayOnTheConnection(const prnsim::TcpPrinter& printer) {
        const std::vector<int> sockets = SocketsTo(printer.port());
        ASSERT_EQ(sockets.size(), 1u);
        EXPECT_NE(NoDelay(sockets[0]), 0)
            << "Nagle's algorithm holds every small write for the printer's delayed ACK";
    }
};

// Every write waits for its acknowledgement; with Nagle's algorithm a small write waits for
// the printer's delayed ACK of the one before. The connection of the open and the one of a
// reconnection both send at once.
TEST_F(EthernetJobEdge, SmallWritesDoNotWaitForDelayedAcks) {
    prnsim::TcpPrinter printer;
    ASSERT_TRUE(printer.ok()) << printer.error();
    ASSERT_EQ(Open(printer), 0);
    ExpectNoDelayOnTheConnection(printer);

    ASSERT_EQ(lib.claim(1000, true), 0);
    printer.reset();  // the printer restarts: the next write reconnects
    ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, seconds(4)));
    const Bytes line = Job(120, 2);
    EXPECT_EQ(lib.writeData(line, Size(line), 0), Size(line));
    ASSERT_TRUE(printer.waitForConnections(2, seconds(3)));
    ExpectNoDelayOnTheConnection(printer);
}

// The first write after a thermal claim that returned 0 is accepted, and a completion wait
// right after the claim gets its reply.
TEST_F(EthernetJobEdge, TheFirstWriteAfterAClaimIsAccepted) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::TcpPrinter printer;
        ASSERT_TRUE(printer.ok()) << printer.error();
        ASSERT_EQ(Open(printer), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        EXPECT_EQ(printer.countReceived(kEnable), 1u)
            << "the claim returned before its first pass had enabled automatic status";
        const Bytes job = Job(200, static_cast<unsigned>(round));
        EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
        NativeLibrary* const port = &lib;
        auto completed =
            ReturnsWithin(seconds(3), [port] { return port->waitForCompletePrinting(0); });
        EXPECT_TRUE(completed.has_value()) << "the completion wait sat out its re-send";
        if (!completed) lib.closePort();
        EXPECT_TRUE(completed.value_or(false));
        EXPECT_EQ(lib.getPrinterStatus(0), kReady);
        ClosePort();
    }
}

// Open, print, close for every receipt: no claim, no monitor, no release wait. After a claim
// the close still waits its 300 ms.
TEST_F(EthernetJobEdge, ACloseWaitsOnlyForAMonitorThatRan) {
    prnsim::TcpPrinter printer;
    ASSERT_TRUE(printer.ok()) << printer.error();
    auto start = Clock::now();
    lib.closePort();
    EXPECT_LT(MillisSince(start), 100) << "a close with nothing open";

    ASSERT_EQ(Open(printer), 0);
    const Bytes job = Job(12000, 4);
    ASSERT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    start = Clock::now();
    lib.closePort();
    EXPECT_LT(MillisSince(start), 100) << "a close without a claim";
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));

    ASSERT_EQ(Open(printer), 0);
    ASSERT_EQ(lib.claim(1000, true), 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    start = Clock::now();
    lib.closePort();
    EXPECT_TRUE(About(MillisSince(start), 300)) << MillisSince(start) << " ms after a claim";
}

}  // namespace
