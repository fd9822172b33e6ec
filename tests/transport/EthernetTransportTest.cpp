// The network transport against the virtual printer on loopback: the address form, the
// one-second connect, the open-time probe, sends and receives, the socket's life, and the
// faults of the socket calls that the kernel will not produce on demand.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
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
#include "SharedPort.h"

// ---- Socket call faults ----
// The transport is linked into this executable, so these definitions stand in for the C
// library's for the whole process. Unarmed, they pass every call straight through.
PRN_ON_THE_SHARED_PORT(ReOpenPort)
inline NETPort& netPort = NetworkRecord(SharedPort()).netPort;
inline NETPort& ReNetPort = NetworkRecord(SharedPort()).ReNetPort;
inline std::atomic<int>& isThermal = NetworkRecord(SharedPort()).isThermal;

namespace netfault {

std::atomic<int> failFlagCmd{-1};   // F_GETFL or F_SETFL: the kind of call to fail
std::atomic<int> failFlagAfter{0};  // calls of that kind to let through first
std::atomic<int> connectCalls{0};
std::atomic<int> watchedSends{-1};  // sends on this socket are counted
std::atomic<int> sendCalls{0};
std::atomic<size_t> sendLimit{0};  // a watched send takes at most this many bytes; 0: all

// A connection attempt can be held right after it has been started, until released.
std::mutex holdMutex;
std::condition_variable holdChanged;
bool holdArmed = false;
bool held = false;
bool released = false;

void FailFlagCall(int cmd, int after) {
    failFlagAfter = after;
    failFlagCmd = cmd;
}

void Disarm() {
    failFlagCmd = -1;
    watchedSends = -1;
    sendLimit = 0;
    std::lock_guard<std::mutex> lock(holdMutex);
    holdArmed = false;
    released = true;
    holdChanged.notify_all();
}

void HoldNextConnect() {
    std::lock_guard<std::mutex> lock(holdMutex);
    holdArmed = true;
    held = false;
    released = false;
}

bool WaitUntilHeld(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(holdMutex);
    return holdChanged.wait_for(lock, timeout, [] { return held; });
}

void ReleaseConnect() {
    std::lock_guard<std::mutex> lock(holdMutex);
    released = true;
    holdChanged.notify_all();
}

}  // namespace netfault

extern "C" int fcntl(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    const long arg = va_arg(args, long);
    va_end(args);
    using Real = int (*)(int, int, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fcntl"));
    if (cmd == netfault::failFlagCmd && netfault::failFlagAfter-- == 0) {
        netfault::failFlagCmd = -1;
        errno = EINVAL;
        return -1;
    }
    return real(fd, cmd, arg);
}

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    using Real = int (*)(int, const sockaddr*, socklen_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "connect"));
    ++netfault::connectCalls;
    const int result = real(fd, address, length);
    const int saved = errno;
    {
        std::unique_lock<std::mutex> lock(netfault::holdMutex);
        if (netfault::holdArmed) {
            netfault::holdArmed = false;
            netfault::held = true;
            netfault::holdChanged.notify_all();
            // Never for ever: a test that forgets to release must not hang the run.
            netfault::holdChanged.wait_for(lock, std::chrono::seconds(5),
                                           [] { return netfault::released; });
        }
    }
    errno = saved;
    return result;
}

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags) {
    using Real = ssize_t (*)(int, const void*, size_t, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "send"));
    if (fd == netfault::watchedSends) {
        ++netfault::sendCalls;
        const size_t limit = netfault::sendLimit;
        if (limit != 0 && length > limit) length = limit;
    }
    return real(fd, data, length, flags);
}

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::TcpMode;
using prnsim::TcpOptions;
using prnsim::TcpPrinter;

const Bytes kProbeRequests{0x10, 0x04, 0x02, 0x10, 0x04, 0x04};

TcpOptions NetworkModel() {
    TcpOptions options;
    options.printer.model = prnsim::StatusModel::NetworkTable;
    return options;
}

// A loopback port on which nothing listens.
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

bool IsOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

// The printer runs in this process: its end of a connection we closed goes a moment later.
bool DescriptorsBackTo(int count) {
    const bool back = WaitFor([count] { return OpenDescriptorCount() == count; }, milliseconds(2000));
    if (!back) ADD_FAILURE() << OpenDescriptorCount() << " descriptors open, " << count << " expected";
    return back;
}

// The task is inside poll (or ppoll), as /proc shows its current system call.
bool WaitsInPoll(pid_t task) {
    FILE* file = std::fopen(("/proc/self/task/" + std::to_string(task) + "/syscall").c_str(), "r");
    if (file == nullptr) return false;
    long number = -1;
    const bool read = std::fscanf(file, "%ld", &number) == 1;
    std::fclose(file);
    return read && (number == SYS_poll || number == SYS_ppoll);
}

class EthernetTransport : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        isThermal = 0;
        netfault::connectCalls = 0;
        netfault::sendCalls = 0;
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override {
        netfault::Disarm();
        CloseLikeJava();
    }

    std::string Port() const { return std::to_string(printer.port()); }

    // What _openPort does around the transport's open.
    long OpenLikeJava(const std::string& address = "SOCKET:127.0.0.1") {
        return OpenLikeJava(address, Port());
    }
    static long OpenLikeJava(const std::string& address, const std::string& port) {
        StopMonitor();
        const long rtn = OpenFromJava(address.c_str(), port.c_str());
        if (rtn == 0) {
            m_bOpen = 1;
        } else {
            ClosePort();
            m_bOpen = 0;
        }
        return rtn;
    }
    static void CloseLikeJava() {
        ReleaseDevice();
        if (m_bOpen) ClosePort();
        m_bOpen = 0;
    }
    void OpenReady() {
        ASSERT_EQ(OpenLikeJava(), 0);
        printer.clearRecord();
    }
    // Bytes written after a refused write must arrive alone: nothing else went out.
    void ExpectOnlyAMarkerArrives() {
        const uint8_t marker[2] = {'#', '\n'};
        ASSERT_EQ(WritePort(marker, 2), 2);
        ASSERT_TRUE(printer.waitForBytes(2, milliseconds(2000)));
        EXPECT_EQ(printer.received(), (Bytes{'#', '\n'}));
    }

    TcpPrinter printer{NetworkModel()};
};

// ---- Opening ----

TEST_F(EthernetTransport, OpensAReadyPrinterWithTheSocketPrefix) {
    EXPECT_EQ(OpenLikeJava(), 0);
    EXPECT_EQ(m_bOpen, 1);
    EXPECT_EQ(printer.received(), kProbeRequests);  // DLE EOT 2, then DLE EOT 4
    EXPECT_EQ(printer.connectionCount(), 1);
    EXPECT_EQ(netPort.portnum, printer.port());
    EXPECT_STREQ(netPort.RealIP, "127.0.0.1");
    // A blocking, connected socket, and a snapshot that names it.
    ASSERT_NE(netPort.sock, kNoSocket);
    EXPECT_EQ(fcntl(netPort.sock, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(ReNetPort.sock, netPort.sock);
}

TEST_F(EthernetTransport, AddressTextsItRefuses) {
    const std::string port = Port();
    for (const std::string& address :
         {std::string("127.0.0.1"), std::string("socket:127.0.0.1"), std::string("SOCKET"),
          "SOCKET:127.0.0.1:" + port, std::string("SOCKET:localhost")}) {
        EXPECT_EQ(OpenLikeJava(address), -1) << '"' << address << '"';
        EXPECT_EQ(m_bOpen, 0);
        EXPECT_EQ(netPort.sock, kNoSocket);
        EXPECT_EQ(netPort.set.load(), 0);
    }
    EXPECT_EQ(OpenLikeJava("SOCKET:127.0.0.1", ""), -1);  // port 0
    EXPECT_EQ(printer.connectionCount(), 0);
}

// The address text fills at most 63 characters; the conversion allows trailing blanks, which
// puts a working address exactly at the limit.
TEST_F(EthernetTransport, AddressTextLimitIsSixtyThreeCharacters) {
    const std::string padded63 = "127.0.0.1" + std::string(63 - 9, ' ');
    EXPECT_EQ(OpenLikeJava("SOCKET:" + padded63 + " "), -1);
    EXPECT_EQ(netfault::connectCalls, 0) << "a 64-character address is refused before connecting";
    EXPECT_EQ(OpenPort((padded63 + " ").c_str(), Port().c_str()), -1);
    EXPECT_EQ(netfault::connectCalls, 0);
    ClosePort();
    EXPECT_EQ(OpenLikeJava("SOCKET:" + padded63), 0);
    EXPECT_EQ(printer.connectionCount(), 1);
}

// A port text that is not a number from 1 to 65535 is refused before any connection is tried:
// no wrapping into another port, no overflow on a long text.
TEST_F(EthernetTransport, PortTextMustBeAPortNumber) {
    const std::string port = std::to_string(printer.port());
    for (const std::string& text : {std::to_string(printer.port() + 65536), std::string("0"),
                                   std::string("65536"), std::string("99999999999"),
                                   std::string("99999999999999999999"), std::string(""),
                                   std::string("-1"), port + "x", std::string("x") + port}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(OpenLikeJava("SOCKET:127.0.0.1", text), -1);
    }
    EXPECT_EQ(printer.connectionCount(), 0);
    EXPECT_EQ(OpenLikeJava("SOCKET:127.0.0.1", " " + port + " "), 0);
    EXPECT_EQ(printer.connectionCount(), 1);
}

TEST_F(EthernetTransport, NothingListeningFailsWithinASecond) {
    for (const std::string& port : {ClosedPort(), Port()}) {
        printer.setMode(TcpMode::Refuse);
        const auto start = Clock::now();
        EXPECT_EQ(OpenLikeJava("SOCKET:127.0.0.1", port), -1);
        EXPECT_LT(MillisSince(start), 1000 * 14 / 10 + 150);
        EXPECT_EQ(netPort.sock, kNoSocket);
    }
    EXPECT_EQ(printer.connectionCount(), 0);
}

TEST_F(EthernetTransport, ProbeJudgesTheLastByteOfEachReply) {
    printer.setReply2(Bytes{0x16});  // cover open
    EXPECT_EQ(OpenLikeJava(), 1);
    EXPECT_EQ(printer.countReceived(Bytes{0x10, 0x04, 0x04}), 0u) << "no DLE EOT 4 after cover open";
    EXPECT_EQ(netPort.sock, kNoSocket);
    EXPECT_EQ(m_bOpen, 0);

    printer.setReply2(Bytes{0x16, 0x12});  // only the last byte counts
    EXPECT_EQ(OpenLikeJava(), 0);
    for (const uint8_t paperEnd : {uint8_t{0x32}, uint8_t{0x52}, uint8_t{0x72}}) {
        printer.setReply4(Bytes{paperEnd});
        EXPECT_EQ(OpenLikeJava(), 2) << int(paperEnd);
        EXPECT_EQ(netPort.sock, kNoSocket);
    }
    printer.setReply4(Bytes{0x1E});  // near-end bits only
    EXPECT_EQ(OpenLikeJava(), 0);
}

TEST_F(EthernetTransport, AcceptThenCloseGivesUpAfterFourTries) {
    printer.setMode(TcpMode::CloseOnAccept);
    const auto start = Clock::now();
    EXPECT_EQ(OpenLikeJava(), -1);
    const long took = MillisSince(start);
    EXPECT_GE(took, 380);  // four receives at the end of the stream, 100 ms apart
    EXPECT_LT(took, 400 * 14 / 10 + 150);
    EXPECT_EQ(printer.connectionCount(), 1);
    EXPECT_EQ(netPort.sock, kNoSocket);
}

TEST_F(EthernetTransport, SilentPeerGivesUpInsteadOfHanging) {
    printer.setMode(TcpMode::Silent);
    const auto start = Clock::now();
    EXPECT_EQ(OpenLikeJava(), -1);
    const long took = MillisSince(start);
    EXPECT_GE(took, 4 * (200 + 100) - 50);  // four 200 ms receives, each followed by 100 ms
    EXPECT_LT(took, 1500);
    EXPECT_EQ(printer.received(), (Bytes{0x10, 0x04, 0x02}));
}

// ---- Sending and receiving ----

TEST_F(EthernetTransport, WritesAreRefusedWhileTheStatusSaysSo) {
    OpenReady();
    const uint8_t job[3] = {'a', 'b', 'c'};
    for (StateWord* flag : {&m_bCoverOpen, &m_bPaperEmpty, &m_bOffline}) {
        *flag = 1;
        EXPECT_EQ(WritePort(job, 3), BRELON_ERROR_IO_FAIL);
        *flag = 0;
    }
    ExpectOnlyAMarkerArrives();
    EXPECT_EQ(printer.connectionCount(), 1);
}

TEST_F(EthernetTransport, WriteWithoutAnOpenPortReportsNoPort) {
    const uint8_t byte = 'w';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_NOT_OPEN);
    m_bPowerOFF = 1;  // not even a lost link makes it connect somewhere
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_NOT_OPEN);
    OpenReady();
    CloseLikeJava();
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(printer.connectionCount(), 1);
    EXPECT_EQ(printer.countReceived(Bytes{'w'}), 0u);
}

// A send that takes only part of the buffer (the socket's 1 s limit ran out): the next send
// starts at the first unsent byte and carries only the rest.
TEST_F(EthernetTransport, ShortSendsContinueWhereTheyStopped) {
    OpenReady();
    Bytes job(5000);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 7 + i / 251);
    netfault::sendLimit = 1200;
    netfault::watchedSends = netPort.sock.load();
    EXPECT_EQ(WritePort(job.data(), 5000), 5000);
    EXPECT_EQ(netfault::sendCalls, 5);
    ASSERT_TRUE(printer.waitForBytes(job.size(), milliseconds(3000)));
    EXPECT_EQ(printer.received(), job);
    EXPECT_EQ(printer.connectionCount(), 1);
}

// In impact mode (and before any claim) a write that did not all go out is made once more; a
// failed reconnection shows it as a second connection attempt.
TEST_F(EthernetTransport, ImpactWriteIsRepeatedOnceWhenItFallsShort) {
    OpenReady();
    printer.setMode(TcpMode::Refuse);
    m_bPowerOFF = 1;
    const uint8_t job[3] = {'a', 'b', 'c'};
    for (const auto& [thermal, attempts] : {std::pair{0, 2}, std::pair{1, 1}}) {
        isThermal = thermal;
        netfault::connectCalls = 0;
        EXPECT_EQ(WriteFromJava(job, 3), BRELON_ERROR_IO_FAIL);
        EXPECT_EQ(netfault::connectCalls, attempts) << "isThermal " << thermal;
    }
    // A write that goes out whole is not repeated.
    printer.setMode(TcpMode::Normal);
    isThermal = 0;
    netfault::connectCalls = 0;
    EXPECT_EQ(WriteFromJava(job, 3), 3);
    EXPECT_EQ(netfault::connectCalls, 1);
    ASSERT_TRUE(WaitFor([] { return m_bOffline == 0; }, milliseconds(2000)));
    const uint8_t marker[2] = {'#', '\n'};
    ASSERT_EQ(WriteFromJava(marker, 2), 2);
    ASSERT_TRUE(printer.waitForSequence(Bytes{'#', '\n'}, 1, milliseconds(2000)));
    EXPECT_EQ(printer.countReceived(Bytes{'a', 'b', 'c'}), 1u);
}

TEST_F(EthernetTransport, ReadsAreBounded) {
    OpenReady();
    uint8_t buffer[256];
    EXPECT_EQ(ReadPort(buffer, 0), 0);
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), 0);  // nothing came within 200 ms
    const long took = MillisSince(start);
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 200 * 14 / 10 + 150);

    const Bytes reply{0x0D, 0x0A, 0x00, 0xFF};
    printer.sendToHost(reply);
    EXPECT_EQ(ReadPort(buffer, 0), 0);  // takes nothing
    long got = 0;
    ASSERT_TRUE(WaitFor([&] { return (got = ReadPort(buffer, sizeof buffer)) != 0; },
                        milliseconds(2000)));
    ASSERT_EQ(got, 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), reply);

    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), 0);  // the end of the stream
}

TEST_F(EthernetTransport, CloseWakesAReaderInAnotherThread) {
    OpenReady();
    std::atomic<pid_t> readerTask{0};
    std::atomic<long> got{1};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        readerTask = gettid();
        uint8_t buffer[256];
        got = ReadPortPrv(buffer, sizeof buffer, 1, 10000);
        done = true;
    });
    ASSERT_TRUE(WaitFor([&] { return readerTask != 0 && WaitsInPoll(readerTask); },
                        milliseconds(3000)));
    printer.setMode(TcpMode::Silent);  // no status block answers release's enable
    const auto start = Clock::now();
    CloseLikeJava();
    EXPECT_TRUE(WaitFor([&] { return done.load(); }, milliseconds(1000)))
        << "the reader is still waiting for its 10 s";
    reader.join();
    EXPECT_LE(got, 0);
    EXPECT_LT(MillisSince(start), 300 * 14 / 10 + 150);  // release waits 300 ms itself
}

// Not ignoring SIGPIPE here on purpose: every send on a dead connection must come back as a
// result, not as a signal that ends the process.
TEST_F(EthernetTransport, NoSigpipeWhenThePrinterIsGone) {
    OpenReady();
    printer.setMode(TcpMode::Refuse);
    printer.drop();
    ASSERT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
    // Release's wake-up send, twice: the first draws the reset, the second meets the broken pipe.
    ReleaseDevice();
    ReleaseDevice();
    const Bytes job(5000, 'p');
    EXPECT_EQ(WritePort(job.data(), 5000), BRELON_ERROR_IO_FAIL);  // no printer to reconnect to
    EXPECT_EQ(WritePort(job.data(), 5000), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(printer.connectionCount(), 1);
}

// ---- The socket's life ----

TEST_F(EthernetTransport, FailedFlagCallsLeaveNoSocket) {
    const int descriptors = OpenDescriptorCount();
    // Non-blocking on before connecting; blocking back after connecting.
    for (const auto& [cmd, after] : {std::pair{F_GETFL, 0}, std::pair{F_SETFL, 0},
                                     std::pair{F_GETFL, 1}, std::pair{F_SETFL, 1}}) {
        netfault::FailFlagCall(cmd, after);
        EXPECT_EQ(OpenLikeJava(), -1) << cmd << " " << after;
        EXPECT_EQ(netPort.sock, kNoSocket);
        EXPECT_TRUE(DescriptorsBackTo(descriptors));
    }
    netfault::Disarm();

    // The same in a reconnection: -2 for the writer, no socket and no monitor left.
    OpenReady();
    m_bPowerOFF = 1;
    netfault::FailFlagCall(F_SETFL, 1);
    const uint8_t job[4] = {'j', 'o', 'b', '\n'};
    EXPECT_EQ(WritePort(job, 4), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(netPort.sock, kNoSocket);
    EXPECT_FALSE(MonitorStarted());
    EXPECT_TRUE(DescriptorsBackTo(descriptors));
    EXPECT_EQ(m_bPowerOFF, 1);
    // The next write tries again and gets through.
    EXPECT_EQ(WritePort(job, 4), 4);
    EXPECT_TRUE(printer.waitForSequence(Bytes(job, job + 4), 1, milliseconds(2000)));
}

// The number a failed open or a failed reconnection released may belong to somebody else by
// the time the record is closed again.
TEST_F(EthernetTransport, ASocketNumberIsNeverClosedTwice) {
    printer.setMode(TcpMode::Refuse);
    EXPECT_EQ(OpenFromJava("SOCKET:127.0.0.1", Port().c_str()), -1);
    const int somebodyElses = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ClosePort();
    EXPECT_TRUE(IsOpenDescriptor(somebodyElses));
    close(somebodyElses);

    printer.setMode(TcpMode::Normal);
    OpenReady();
    printer.setMode(TcpMode::Refuse);
    m_bPowerOFF = 1;
    const uint8_t byte = 'x';
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
    const int another = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);  // closes the record's socket again
    CloseLikeJava();
    EXPECT_TRUE(IsOpenDescriptor(another));
    close(another);
}

// A process with many open files (a JVM raises its limit) hands out socket numbers above
// 1023, beyond what a select set can hold.
TEST_F(EthernetTransport, SocketNumbersAbove1023Work) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1200);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 1200) GTEST_SKIP() << "cannot open 1200 descriptors";
    std::vector<int> filler{open("/dev/null", O_RDONLY | O_CLOEXEC)};
    while (filler.back() >= 0 && filler.back() < 1100) filler.push_back(dup(filler.front()));
    EXPECT_EQ(OpenLikeJava(), 0);
    EXPECT_GE(netPort.sock, 1024);
    const uint8_t job[3] = {'b', 'i', 'g'};
    EXPECT_EQ(WritePort(job, 3), 3);
    EXPECT_TRUE(printer.waitForSequence(Bytes(job, job + 3), 1, milliseconds(2000)));
    m_bPowerOFF = 1;  // and through a reconnection
    EXPECT_EQ(WritePort(job, 3), 3);
    EXPECT_EQ(printer.connectionCount(), 2);
    CloseLikeJava();
    for (int fd : filler) close(fd);
}

// _closePort from one thread while another thread's write is reconnecting: nothing of the new
// connection may outlive the close.
TEST_F(EthernetTransport, CloseDuringAReconnectionLeavesNothingBehind) {
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    ASSERT_EQ(OpenLikeJava(), 0);
    isThermal = 1;
    m_bPowerOFF = 1;
    netfault::HoldNextConnect();
    const Bytes job(64, 'z');
    std::atomic<long> written{0};
    std::thread writer([&] { written = WritePort(job.data(), 64); });
    ASSERT_TRUE(netfault::WaitUntilHeld(milliseconds(3000)));

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        CloseLikeJava();
        closed = true;
    });
    // The close either waits for the reconnection or runs in the middle of it; give it the
    // time to do the latter before the connection attempt goes on.
    WaitFor([&] { return closed.load(); }, milliseconds(800));
    netfault::ReleaseConnect();
    writer.join();
    closer.join();

    EXPECT_LT(written, 64) << "the job went out after the port was closed";
    EXPECT_EQ(netPort.sock, kNoSocket);
    EXPECT_FALSE(MonitorStarted());
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads; }, milliseconds(2000)))
        << ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(DescriptorsBackTo(descriptors));
    EXPECT_TRUE(WaitFor([&] { return !printer.connected(); }, milliseconds(2000)));
}

}  // namespace
