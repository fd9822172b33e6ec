// The virtual network printer on loopback, and the ways it misbehaves on purpose.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "prnsim/TcpPrinter.h"

namespace prnsim::test {
namespace {

const Bytes kStatus1 = {0x10, 0x04, 0x01};

class TcpPrinterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TcpOptions options;
        options.printer.errorsSetOffline = false;
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
    ASSERT_TRUE(writeAll(client.get(), Bytes(40, 'x')));
    Bytes rest = readBytes(client.get(), 1, 2s);  // end of stream (or a reset)
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(printer_->received().size(), 10u);
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

}  // namespace
}  // namespace prnsim::test
