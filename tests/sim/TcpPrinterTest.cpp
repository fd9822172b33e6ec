// The virtual network printer on loopback, and the ways it misbehaves on purpose.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>

#include <thread>

#include "SimTestSupport.h"
#include "prnsim/TcpPrinter.h"

namespace prnsim::test {
namespace {

const Bytes kStatus1 = {0x10, 0x04, 0x01};

// What the host's next receive gives: 0 for end of stream, -errno for a failure.
int nextReceive(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return -ETIMEDOUT;
    uint8_t b;
    const ssize_t n = ::recv(fd, &b, 1, 0);
    return n < 0 ? -errno : static_cast<int>(n);
}

class TcpPrinterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TcpOptions options;
        options.printer.model = StatusModel::NetworkTable;
        printer_ = std::make_unique<TcpPrinter>(options);
        ASSERT_TRUE(printer_->ok()) << printer_->error();
        ASSERT_NE(printer_->port(), 0);
    }
    std::unique_ptr<TcpPrinter> printer_;
};

TEST_F(TcpPrinterTest, AnswersAndRecordsEachConnection) {
    {
        Fd first = connectTcp(printer_->port());
        ASSERT_GE(first.get(), 0);
        ASSERT_TRUE(writeAll(first.get(), kStatus1));
        EXPECT_EQ(readBytes(first.get(), 1, 2s), Bytes{0x16});
        // A second client waits in the backlog while the first is served.
        Fd second = connectTcp(printer_->port());
        ASSERT_GE(second.get(), 0);
        ASSERT_TRUE(writeAll(second.get(), {'b'}));
        EXPECT_TRUE(quietFor(second.get(), 150ms));
        EXPECT_EQ(printer_->connectionCount(), 1);
        first.reset();
        ASSERT_TRUE(printer_->waitForBytes(4, 2s));
        EXPECT_EQ(printer_->connectionCount(), 2);
    }
    const std::vector<ReceivedChunk> chunks = printer_->chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].connection, 0);
    EXPECT_EQ(chunks[1].connection, 1);
    EXPECT_EQ(chunks[1].bytes, Bytes{'b'});
    EXPECT_EQ(printer_->receivedOn(0), kStatus1);
    EXPECT_EQ(printer_->receivedOn(1), Bytes{'b'});
    EXPECT_EQ(printer_->countReceivedOn(1, kStatus1), 0u);
}

TEST_F(TcpPrinterTest, RefuseThenComeBack) {
    printer_->setMode(TcpMode::Refuse);
    Fd refused = connectTcp(printer_->port());
    EXPECT_LT(refused.get(), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    printer_->setMode(TcpMode::Normal);
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    ASSERT_TRUE(writeAll(client.get(), kStatus1));
    EXPECT_EQ(readBytes(client.get(), 1, 2s), Bytes{0x16});
}

TEST_F(TcpPrinterTest, CloseOnAcceptAndSilent) {
    printer_->setMode(TcpMode::CloseOnAccept);
    {
        Fd client = connectTcp(printer_->port());
        ASSERT_GE(client.get(), 0);
        uint8_t b;
        pollfd p{client.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        EXPECT_EQ(::read(client.get(), &b, 1), 0);
        EXPECT_TRUE(printer_->waitForConnections(1, 2s));
    }
    printer_->setMode(TcpMode::Silent);
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    ASSERT_TRUE(writeAll(client.get(), kStatus1));
    ASSERT_TRUE(printer_->waitForSequence(kStatus1, 1, 2s));
    EXPECT_TRUE(quietFor(client.get(), 200ms));
    printer_->setMode(TcpMode::Normal);  // the same connection answers again
    ASSERT_TRUE(writeAll(client.get(), kStatus1));
    EXPECT_EQ(readBytes(client.get(), 1, 2s), Bytes{0x16});
}

TEST_F(TcpPrinterTest, DropInTheMiddleOfAJob) {
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    ASSERT_TRUE(printer_->waitForConnections(1, 2s));
    printer_->dropAfter(10);
    ASSERT_TRUE(writeAll(client.get(), Bytes(6, 'x')));
    EXPECT_TRUE(quietFor(client.get(), 100ms));  // not yet
    EXPECT_TRUE(printer_->connected());
    // The drop starts after 10 bytes; the other 30, which the printer's stack had taken in with
    // them, are read before it closes.
    ASSERT_TRUE(writeAll(client.get(), Bytes(34, 'y')));
    EXPECT_EQ(nextReceive(client.get()), 0);
    Bytes both(6, 'x');
    both.resize(40, 'y');
    EXPECT_EQ(printer_->received(), both);
    EXPECT_FALSE(printer_->connected());

    Fd again = connectTcp(printer_->port());
    ASSERT_GE(again.get(), 0);
    ASSERT_TRUE(writeAll(again.get(), kStatus1));
    EXPECT_EQ(readBytes(again.get(), 1, 2s), Bytes{0x16});
    printer_->drop();
    EXPECT_FALSE(printer_->connected());
    EXPECT_TRUE(readBytes(again.get(), 1, 2s).empty());
}

TEST_F(TcpPrinterTest, NetworkModelStatusBlock) {
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    ASSERT_TRUE(writeAll(client.get(), {0x1D, 0x61, 0xFF}));
    EXPECT_EQ(readBytes(client.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x00}));
    printer_->setCoverOpen(true);
    EXPECT_EQ(readBytes(client.get(), 4, 2s), (Bytes{0x34, 0x00, 0x00, 0x00}));
}

TEST_F(TcpPrinterTest, SlowPrinterTakesDataAtItsRate) {
    printer_->setSlow(20000);
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    const auto start = Clock::now();
    ASSERT_TRUE(writeAll(client.get(), Bytes(10000, 'x')));
    ASSERT_TRUE(printer_->waitForBytes(10000, 5s));
    EXPECT_GT(Clock::now() - start, 350ms);  // 0.5 s at 20000 bytes/s
}

TEST_F(TcpPrinterTest, StalledPrinterClosesItsWindowThenTakesEverything) {
    Bytes job(64 * 1024);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<uint8_t>(i * 7 + i / 251);
    printer_->setStalled(true);  // before the connection: its window is small from the start
    // A host that waits at most 1 s for room in a send buffer as small as the kernel allows.
    Fd client = connectTcp(printer_->port());
    ASSERT_GE(client.get(), 0);
    const int smallest = 0;
    const timeval oneSecond{1, 0};
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &oneSecond, sizeof oneSecond);
    ASSERT_TRUE(printer_->waitForConnections(1, 2s));

    // The first send may place what the windows hold; then a send waits its full second.
    size_t placed = 0;
    ssize_t n = 0;
    Clock::duration waited{};
    for (int attempt = 0; attempt < 4 && n >= 0; ++attempt) {
        const auto start = Clock::now();
        n = ::send(client.get(), job.data() + placed, job.size() - placed, MSG_NOSIGNAL);
        waited = Clock::now() - start;
        if (n > 0) placed += static_cast<size_t>(n);
    }
    ASSERT_EQ(n, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(waited, 900ms);
    EXPECT_LT(waited, 1s * 1.4 + 150ms);
    EXPECT_LT(placed, job.size() / 2);
    EXPECT_TRUE(printer_->received().empty());

    printer_->setStalled(false);
    ASSERT_TRUE(writeAll(client.get(), Bytes(job.begin() + static_cast<long>(placed), job.end())));
    ASSERT_TRUE(printer_->waitForBytes(job.size(), 10s));
    EXPECT_EQ(printer_->receivedOn(0), job);  // once, in order
}

TEST_F(TcpPrinterTest, DropEachAfterClosesEveryConnectionAtItsCount) {
    Fd first = connectTcp(printer_->port());
    ASSERT_TRUE(writeAll(first.get(), Bytes(5, 'a')));
    ASSERT_TRUE(printer_->waitForBytes(5, 2s));
    printer_->dropEachAfter(3, 3);  // the open connection counts from now
    // Each is still open after 2 bytes and closed after the third; what its stack took in
    // with that is read before the close.
    std::vector<Fd> hosts;
    hosts.push_back(std::move(first));
    for (const uint8_t c : {'a', 'b', 'c'}) {
        SCOPED_TRACE(c);
        if (c != 'a') hosts.push_back(connectTcp(printer_->port()));
        const int host = hosts.back().get();
        ASSERT_TRUE(writeAll(host, Bytes(2, c)));
        EXPECT_TRUE(quietFor(host, 100ms));
        ASSERT_TRUE(writeAll(host, Bytes(18, c)));
        EXPECT_EQ(nextReceive(host), 0);
    }
    EXPECT_EQ(printer_->receivedOn(0), Bytes(25, 'a'));
    EXPECT_EQ(printer_->receivedOn(1), Bytes(20, 'b'));
    EXPECT_EQ(printer_->receivedOn(2), Bytes(20, 'c'));

    Fd kept = connectTcp(printer_->port());  // the rule is used up
    ASSERT_TRUE(writeAll(kept.get(), Bytes(20, 'd')) && writeAll(kept.get(), kStatus1));
    EXPECT_EQ(readBytes(kept.get(), 1, 2s), Bytes{0x16});
    EXPECT_EQ(printer_->receivedOn(3).size(), 23u);

    printer_->dropEachAfter(0, 2);  // 0 bytes: closed at once, the next one at accept
    EXPECT_TRUE(readBytes(kept.get(), 1, 2s).empty());
    Fd refusedWork = connectTcp(printer_->port());
    EXPECT_EQ(nextReceive(refusedWork.get()), 0);
    EXPECT_TRUE(printer_->waitForConnections(5, 2s));
    EXPECT_TRUE(printer_->receivedOn(4).empty());
}

TEST_F(TcpPrinterTest, ResetAfterResetsWhereDropAfterCloses) {
    Fd dropped = connectTcp(printer_->port());
    ASSERT_TRUE(printer_->waitForConnections(1, 2s));
    printer_->dropAfter(4);
    ASSERT_TRUE(writeAll(dropped.get(), Bytes(4, 'x')));  // nothing left unread: a clean close
    EXPECT_EQ(nextReceive(dropped.get()), 0);

    Fd reset = connectTcp(printer_->port());
    ASSERT_TRUE(printer_->waitForConnections(2, 2s));
    printer_->resetAfter(4);
    ASSERT_TRUE(writeAll(reset.get(), Bytes(4, 'y')));
    EXPECT_EQ(nextReceive(reset.get()), -ECONNRESET);
    EXPECT_EQ(printer_->receivedOn(1), Bytes(4, 'y'));
}

// What the host's stack knows about the printer's ACKs: bytes sent and not yet acknowledged
// (SIOCOUTQ), and bytes acknowledged since the connection began (its SYN counts one).
int unacknowledged(int fd) {
    int count = -1;
    return ::ioctl(fd, SIOCOUTQ, &count) == 0 ? count : -1;
}
uint64_t acknowledged(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_bytes_acked : 0;
}

TcpOptions delayedAcks(bool delayed) {
    TcpOptions options;
    options.delayedAcks = delayed;
    return options;
}

// A client the printer has accepted; an invalid descriptor if it has not.
Fd acceptedClient(TcpPrinter& printer) {
    const int before = printer.connectionCount();
    Fd client = connectTcp(printer.port());
    if (!printer.waitForConnections(before + 1, 2s)) client.reset();
    return client;
}

// How long a piece stays unacknowledged after its send (at most about a second).
Clock::duration heldFor(int fd, const Bytes& piece) {
    const auto sent = Clock::now();
    if (!writeAll(fd, piece)) return Clock::duration::max();
    while (unacknowledged(fd) != 0 && Clock::now() - sent < 1s) ::poll(nullptr, 0, 1);
    return Clock::now() - sent;
}

// A printer that holds back its ACKs leaves a small piece unacknowledged for its delayed-ACK
// time (40 ms or more); without that, the ACK comes at once. Either can be switched on an open
// connection.
TEST(TcpPrinterAcks, DelayedAcksHoldSmallPiecesUnacknowledged) {
    for (const bool delayed : {false, true}) {
        SCOPED_TRACE(delayed ? "delayed ACKs" : "prompt ACKs");
        TcpPrinter printer(delayedAcks(delayed));
        Fd client = acceptedClient(printer);
        ASSERT_GE(client.get(), 0);
        size_t sent = 0;
        const auto expectHeld = [&](bool held) {
            for (int piece = 0; piece < 3; ++piece) {
                const auto duration = heldFor(client.get(), Bytes(64, 'a'));
                sent += 64;
                ASSERT_TRUE(printer.waitForBytes(sent, 2s));
                if (held) {
                    EXPECT_GE(duration, 20ms) << "piece " << piece;
                    EXPECT_LT(duration, 1s) << "piece " << piece;
                } else {
                    EXPECT_LT(duration, 20ms) << "piece " << piece;
                }
                // The host pauses between pieces; the printer sends nothing meanwhile.
                EXPECT_TRUE(quietFor(client.get(), 50ms));
            }
        };
        expectHeld(delayed);
        printer.setDelayedAcks(!delayed);
        expectHeld(!delayed);
    }
}

// A job of every byte value in blocks that differ, so that what the printer recorded can be
// checked to be the job's beginning, in order.
Bytes largeJob(size_t count) {
    Bytes job(count);
    for (size_t i = 0; i < count; ++i) job[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return job;
}

// A host sends a large job to a printer that drops or resets the connection after 3000 bytes:
// what the host's stack saw acknowledged is exactly what the printer recorded on that
// connection, so a host that sends again what was never acknowledged loses nothing and repeats
// nothing. The same with a printer that holds back its ACKs.
TEST(TcpPrinterDrops, WhatWasAcknowledgedWasReceived) {
    const Bytes job = largeJob(4 << 20);
    for (const bool reset : {false, true}) {
        for (const bool delayed : {false, true}) {
            SCOPED_TRACE(std::string(reset ? "resetAfter" : "dropAfter") +
                         (delayed ? ", delayed ACKs" : ""));
            TcpPrinter printer(delayedAcks(delayed));
            Fd client = acceptedClient(printer);
            ASSERT_GE(client.get(), 0);
            const timeval fiveSeconds{5, 0};
            ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &fiveSeconds, sizeof fiveSeconds);
            const uint64_t atConnect = acknowledged(client.get());
            if (reset)
                printer.resetAfter(3000);
            else
                printer.dropAfter(3000);

            // The host sends until the connection fails. Its sender or its receiver sees the
            // reset, whichever asks first.
            int sendError = 0;
            std::thread sender([&] {
                if (!writeAll(client.get(), job)) sendError = errno;
            });
            const int end = nextReceive(client.get());
            sender.join();
            if (reset)
                EXPECT_TRUE(end == -ECONNRESET || sendError == ECONNRESET)
                    << end << " " << sendError;
            else
                EXPECT_EQ(end, 0);
            EXPECT_FALSE(printer.connected());

            const Bytes recorded = printer.receivedOn(0);
            EXPECT_EQ(acknowledged(client.get()) - atConnect, recorded.size());
            EXPECT_GE(recorded.size(), 3000u);
            ASSERT_LT(recorded.size(), job.size());
            EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), job.begin()))
                << "not the job's first " << recorded.size() << " bytes";
        }
    }
}

// A printer that holds back its ACKs and is reset right after a small piece sends the ACK it
// owes before the RST (which acknowledges nothing): the host knows the piece arrived.
TEST(TcpPrinterDrops, AResetSendsTheAckStillOwed) {
    TcpPrinter printer(delayedAcks(true));
    Fd client = acceptedClient(printer);
    ASSERT_GE(client.get(), 0);
    const uint64_t atConnect = acknowledged(client.get());
    ASSERT_TRUE(writeAll(client.get(), Bytes(100, 'p')));
    ASSERT_TRUE(printer.waitForBytes(100, 2s));
    printer.reset();
    EXPECT_EQ(nextReceive(client.get()), -ECONNRESET);
    EXPECT_EQ(acknowledged(client.get()) - atConnect, 100u);
    EXPECT_EQ(printer.receivedOn(0), Bytes(100, 'p'));
}

}  // namespace
}  // namespace prnsim::test
