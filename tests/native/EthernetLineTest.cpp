// Who owns the network printer's connection: a close against a reconnection in progress, two
// writers meeting a lost link, one writer at a time, bounded waits whatever the descriptor
// number, and counts that are promises. Run against an older build's library (PRN_NATIVE_LIB)
// these tests show the faults they are about.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Interpose.h"
#include "LineTestSupport.h"
#include "prnsim/TcpPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxEthernet";
const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kKickPin2{0x1B, 0x70, 0x30, 0x32, 0x64};
constexpr int kReady = 0;
constexpr int kOffline = 8;
constexpr int kIoFail = -2;

prnsim::TcpOptions NetworkModel() {
    prnsim::TcpOptions options;
    // Cover open 30/34, paper end 10/14 with 0F.
    options.printer.model = prnsim::StatusModel::NetworkTable;
    return options;
}

class EthernetLine : public NativePortTest {
  protected:
    EthernetLine() : NativePortTest(kClass) {}

    void SetUp() override { ASSERT_TRUE(lib.ok()) << lib.error(); }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }

    long Open(prnsim::TcpPrinter& printer) {
        return lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port()));
    }
    bool StatusBecomes(int status) {
        return WaitFor([&] { return lib.getPrinterStatus(0) == status; }, seconds(4));
    }
    void OpenAndClaim(prnsim::TcpPrinter& printer, bool thermal = true) {
        ASSERT_EQ(Open(printer), 0);
        ASSERT_EQ(lib.claim(1000, thermal), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(StatusBecomes(kReady));
    }
    // The printer restarts: the monitor's receive fails, the link is lost (status 8) and the
    // next write reconnects.
    void LoseTheLink(prnsim::TcpPrinter& printer) {
        printer.reset();
        ASSERT_TRUE(StatusBecomes(kOffline));
    }
};

// A close on one thread while a writer on another reconnects after a lost link: the close wins.
// When it returns no monitor and no socket of the library remain, and the job does not go out
// afterwards on a connection nobody owns. The writer waits for the lifecycle lock that the close
// holds while the close waits for the writer: that must not deadlock.
TEST_F(EthernetLine, CloseWinsOverAReconnection) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::TcpPrinter printer(NetworkModel());
        ASSERT_TRUE(printer.ok());
        TakeBaseline();
        OpenAndClaim(printer);
        LoseTheLink(printer);
        const Bytes job = Job(300, static_cast<unsigned>(round));
        BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
        ASSERT_FALSE(writer.returnedWithin(milliseconds(100)));  // reconnecting
        const auto start = Clock::now();
        ClosePort();
        EXPECT_LT(MillisSince(start), 3000);
        ExpectNothingLeft();
        ASSERT_TRUE(writer.returnedWithin(seconds(3)));
        EXPECT_EQ(writer.result(), kIoFail);
        EXPECT_FALSE(printer.waitForSequence(job, 1, milliseconds(300)))
            << "the job went out after the close";
    }
}

// A job and a drawer kick meet the lost link at once: one reconnection, both on the new
// connection one after the other, no socket left over.
TEST_F(EthernetLine, TwoWritersShareOneReconnection) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::TcpPrinter printer(NetworkModel());
        ASSERT_TRUE(printer.ok());
        TakeBaseline();
        OpenAndClaim(printer);
        LoseTheLink(printer);
        const Bytes job = Job(4000, static_cast<unsigned>(round));
        BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
        BackgroundCall kick([port] { return port->openDrawer(2, 100, 200); });
        ASSERT_TRUE(writer.returnedWithin(seconds(10)));
        ASSERT_TRUE(kick.returnedWithin(seconds(10)));
        EXPECT_EQ(writer.result(), Size(job));
        EXPECT_EQ(kick.result(), 0);
        EXPECT_EQ(printer.connectionCount(), 2);
        EXPECT_TRUE(WaitFor(
            [&] {
                return printer.countReceivedOn(1, job) == 1 &&
                       printer.countReceivedOn(1, kKickPin2) == 1;
            },
            seconds(3)))
            << "job " << printer.countReceivedOn(1, job) << ", kick "
            << printer.countReceivedOn(1, kKickPin2) << " times on the new connection";
        ClosePort();
        ExpectNothingLeft();
    }
}

// Two jobs from two threads to a printer that takes its time (sends go out in pieces): each
// arrives in one piece.
TEST_F(EthernetLine, JobsFromTwoThreadsDoNotInterleave) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    ASSERT_EQ(Open(printer), 0);
    printer.setSlow(200000);
    NativeLibrary* const port = &lib;
    const Bytes first = Job(60000, 1);
    const Bytes second = Job(60000, 2);
    BackgroundCall a([port, first] { return port->writeData(first, Size(first), 0); });
    BackgroundCall b([port, second] { return port->writeData(second, Size(second), 0); });
    ASSERT_TRUE(a.returnedWithin(seconds(15)));
    ASSERT_TRUE(b.returnedWithin(seconds(15)));
    EXPECT_EQ(a.result(), Size(first));
    EXPECT_EQ(b.result(), Size(second));
    EXPECT_TRUE(printer.waitForSequence(first, 1, seconds(5)));
    EXPECT_TRUE(printer.waitForSequence(second, 1, seconds(5)));
    EXPECT_EQ(printer.countReceived(first), 1u);
    EXPECT_EQ(printer.countReceived(second), 1u);
}

// A claim on another thread while a job goes out: the claim asks its monitor to enable automatic
// status, which is no offline report. The job goes out once, on the same connection.
TEST_F(EthernetLine, AClaimDuringAJobDoesNotSendItAgain) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::TcpPrinter printer(NetworkModel());
        ASSERT_TRUE(printer.ok());
        ASSERT_EQ(Open(printer), 0);
        printer.setSlow(100000);
        const Bytes job = Job(60000, static_cast<unsigned>(round));
        BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
        ASSERT_TRUE(printer.waitForBytes(5000, seconds(3)));
        EXPECT_EQ(lib.claim(1000, round % 2 == 0), 0);
        ASSERT_TRUE(writer.returnedWithin(seconds(15)));
        EXPECT_EQ(writer.result(), Size(job));
        EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(5)));
        EXPECT_EQ(printer.connectionCount(), 1);
        EXPECT_EQ(printer.countReceived(job), 1u);
        ClosePort();
    }
}

// A JVM that raised its file limit hands out socket numbers above 1023, which a select() set
// cannot hold: the connect must still work (and write nothing past any set).
TEST_F(EthernetLine, SocketNumbersAbove1023) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    if (limit.rlim_cur < 1400) limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1400);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, 1200u) << "the hard file limit is too low for this test";
    std::vector<int> filler;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    while (filler.empty() || filler.back() < 1100) filler.push_back(dup(null));

    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    EXPECT_EQ(Open(printer), 0);
    const Bytes job = Job(1000, 3);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));
    ClosePort();
    for (int fd : filler) close(fd);
    close(null);
    setrlimit(RLIMIT_NOFILE, &before);
}

// Two readers woken by the same byte: the one that finds nothing taken must not block until the
// printer speaks again.
TEST_F(EthernetLine, ReadersThatLoseARaceReturn) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    ASSERT_EQ(Open(printer), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> longest{0};
    std::atomic<int> calls{0};
    std::atomic<int> finished{0};
    NativeLibrary* const port = &lib;
    auto read = [&] {
        while (!stop) {
            Bytes chunk(256);
            const auto start = Clock::now();
            port->readData(chunk, 256, 0);
            const long took = MillisSince(start);
            long seen = longest;
            while (took > seen && !longest.compare_exchange_weak(seen, took)) {
            }
            ++calls;
        }
        ++finished;
    };
    std::thread one(read);
    std::thread two(read);
    for (int round = 0; round < Rounds(); ++round) {
        const int before = calls;
        printer.sendToHost(Bytes{0x41});
        // Both readers have been round their loop since.
        WaitFor([&] { return calls >= before + 4; }, milliseconds(900));
    }
    stop = true;
    const bool stuck = !WaitFor([&] { return finished == 2; }, seconds(1));
    printer.sendToHost(Bytes{0x42, 0x43});  // releases a reader stuck in its receive
    one.join();
    two.join();
    EXPECT_FALSE(stuck) << "a reader was still waiting for bytes another had taken";
    EXPECT_LT(longest, 700) << "a read waited " << longest << " ms for bytes another took";
}

// The same race against the monitor, with a printer that answers nothing afterwards: the close
// must still stop and join the monitor.
TEST_F(EthernetLine, CloseIsBoundedWhileAReaderCompetesWithTheMonitor) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::TcpPrinter printer(NetworkModel());
        ASSERT_TRUE(printer.ok());
        OpenAndClaim(printer);
        std::atomic<bool> stop{false};
        std::atomic<bool> finished{false};
        std::thread reader([&] {
            while (!stop) {
                Bytes chunk(256);
                port->readData(chunk, 256, 0);
            }
            finished = true;
        });
        // One block for the two readers, then not a word (the release's enable goes unanswered).
        printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x00});
        printer.setMode(prnsim::TcpMode::Silent);
        stop = true;
        const bool readerReturned = WaitFor([&] { return finished.load(); }, seconds(1));
        const bool closed = ReturnsWithin(seconds(5), [port] { port->closePort(); });
        if (!closed || !readerReturned) {
            printer.setMode(prnsim::TcpMode::Normal);
            printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x00});  // releases them
        }
        EXPECT_TRUE(readerReturned) << "_readData waits for bytes the monitor took";
        EXPECT_TRUE(closed) << "_closePort did not return: the monitor waits for bytes";
        reader.join();
    }
}

// A printer whose window stays closed for a while (its buffer is full, it is busy) is slow, not
// gone: sends that make no progress for their 1 s timeout go on within the no-progress
// allowance, on the same connection, and the job arrives once with the whole count reported.
TEST_F(EthernetLine, AStalledPrinterIsSlowNotGone) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    ASSERT_EQ(Open(printer), 0);
    const Bytes job = Job(100000, 4);
    StallSends(2);
    const auto start = Clock::now();
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_GE(MillisSince(start), 2000);
    StallSends(0);
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(5)));
    EXPECT_EQ(printer.connectionCount(), 1);
    EXPECT_EQ(printer.countReceived(job), 1u);
}

// What _writeData reports as written has reached the printer: a close right after it loses
// nothing, even with a printer that reads slowly.
TEST_F(EthernetLine, CloseRightAfterAWriteLosesNothing) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    ASSERT_EQ(Open(printer), 0);
    printer.setSlow(20000);
    const Bytes job = Job(60000, 5);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    ClosePort();
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(10)))
        << printer.received().size() << " of " << job.size() << " bytes arrived";
}

// A count is a promise: a count reported means exactly that many bytes of the job reached the
// printer, once each, in order, across its connections. Here the printer drops the connection
// part way: what its stack acknowledged got there, and only the rest goes again on the next
// connection. In impact mode (no thermal monitor flags the lost link) the job goes on there and
// is reported whole; in thermal mode the new connection drops too, and the count is what the
// printer acknowledged.
TEST_F(EthernetLine, ACountReportedIsAPromise) {
    for (const bool thermal : {false, true}) {
        SCOPED_TRACE(thermal ? "thermal" : "impact");
        prnsim::TcpPrinter printer(NetworkModel());
        ASSERT_TRUE(printer.ok());
        OpenAndClaim(printer, thermal);
        const Bytes job = Job(thermal ? 1 << 20 : 2 << 20, thermal ? 6 : 7);
        if (thermal) {
            printer.dropEachAfter(3000, 2);  // the first connection, and the one for the resend
        } else {
            printer.dropAfter(3000);
        }
        const int written = lib.writeData(job, Size(job), 0);
        EXPECT_TRUE(written == kIoFail || written >= 0) << written;
        const size_t count = written > 0 ? static_cast<size_t>(written) : 0;
        const Bytes reported(job.begin(), job.begin() + static_cast<long>(count));
        Bytes data;
        // Bytes the printer took may still be on their way into its own record.
        EXPECT_TRUE(WaitFor(
            [&] {
                Bytes all;
                for (int c = 0; c < printer.connectionCount(); ++c) {
                    const Bytes on = printer.receivedOn(c);
                    all.insert(all.end(), on.begin(), on.end());
                }
                data = PrintData(all);
                return data.size() >= count;
            },
            seconds(10)));
        EXPECT_TRUE(data == reported) << written << " bytes reported, " << data.size()
                                      << " on the printer, connections: "
                                      << printer.connectionCount();
        ClosePort();
    }
}

// Port texts that are not a TCP port, and addresses without the prefix, are refused before any
// connection is tried.
TEST_F(EthernetLine, BadAddressesAreRefusedBeforeConnecting) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    const std::string port = std::to_string(printer.port());
    const int connects = ConnectCalls();
    for (const char* text : {"99999999999", "0", "65536", "abc", "", "-1"}) {
        EXPECT_EQ(lib.openPort("SOCKET:127.0.0.1", text), -1) << text;
    }
    for (const char* address : {"127.0.0.1", "socket:127.0.0.1", "SOCKET:", ""}) {
        EXPECT_EQ(lib.openPort(address, port), -1) << address;
    }
    EXPECT_EQ(ConnectCalls(), connects) << "a connection was tried";
    EXPECT_EQ(printer.connectionCount(), 0);
}

// A close clears the lost-link flag: the first write after the next open does not reconnect
// (nor start a monitor nobody claimed).
TEST_F(EthernetLine, NoReconnectionAfterACloseAndOpen) {
    prnsim::TcpPrinter printer(NetworkModel());
    ASSERT_TRUE(printer.ok());
    OpenAndClaim(printer);
    LoseTheLink(printer);
    ClosePort();
    const int threads = ThreadCount();
    ASSERT_EQ(Open(printer), 0);
    const Bytes job = Job(500, 8);
    const auto start = Clock::now();
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_LT(MillisSince(start), 500);
    EXPECT_EQ(printer.connectionCount(), 2);
    EXPECT_EQ(ThreadCount(), threads) << "a monitor runs on an unclaimed port";
}

}  // namespace
