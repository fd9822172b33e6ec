// Errors, waiting for online recovery and faults in the middle of a job, as the host sees them on
// every connection: status blocks, DLE EOT replies, and a print engine that stops and resumes.
#include <gtest/gtest.h>

#include <functional>

#include "SimTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace prnsim::test {
namespace {

const Bytes kEnableAutoStatus = {0x1D, 0x61, 0xFF};
const Bytes kProcessIdFFFF = {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, 'F', 'F', 'F', 'F'};
const Bytes kProcessIdReplyFFFF = {0x37, 0x22, 'F', 'F', 'F', 'F', 0x00};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Printable text whose every position can be told from its neighbours in the text view.
std::string letters(size_t count) {
    std::string text(count, ' ');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

enum class Connection { Serial, Tcp };

class PrinterFaultTest : public ::testing::TestWithParam<Connection> {
  protected:
    void start(PrinterOptions options = {}) {
        if (GetParam() == Connection::Serial) {
            SerialOptions serial;
            serial.printer = options;
            auto printer = std::make_unique<SerialPrinter>(serial);
            ASSERT_TRUE(printer->ok()) << printer->error();
            host_ = openRawSlave(printer->devicePath());
            printer_ = std::move(printer);
        } else {
            TcpOptions tcp;
            tcp.printer = options;
            auto printer = std::make_unique<TcpPrinter>(tcp);
            ASSERT_TRUE(printer->ok()) << printer->error();
            host_ = connectTcp(printer->port());
            ASSERT_TRUE(printer->waitForConnections(1, 2s));
            printer_ = std::move(printer);
        }
        ASSERT_GE(host_.get(), 0);
    }
    Bytes ask(uint8_t n) {
        EXPECT_TRUE(writeAll(host_.get(), {0x10, 0x04, n}));
        return readBytes(host_.get(), 1, 2s);
    }
    Bytes nextBlock() { return readBytes(host_.get(), 4, 2s); }

    std::unique_ptr<VirtualPrinter> printer_;
    Fd host_;
};

// One way for the printer to stop, what a reference printer reports for it (drawer pin low), and
// its replies to DLE EOT 1, 2 and 3.
struct Stop {
    const char* name;
    std::function<void(VirtualPrinter&, bool)> set;
    Bytes block;
    Bytes replies;
};

const std::vector<Stop>& referenceStops() {
    static const std::vector<Stop> stops = {
        {"cover open",
         [](VirtualPrinter& p, bool on) { p.setCoverOpen(on); },
         {0x38, 0x00, 0x00, 0x00},
         {0x1A, 0x16, 0x12}},
        {"paper end",
         [](VirtualPrinter& p, bool on) { p.setPaper(on ? Paper::End : Paper::Ok); },
         {0x18, 0x00, 0x0F, 0x00},
         {0x1A, 0x32, 0x12}},
        {"autocutter error",
         [](VirtualPrinter& p, bool on) {
             p.setError(on ? PrinterError::Autocutter : PrinterError::None);
         },
         {0x18, 0x08, 0x00, 0x00},
         {0x1A, 0x52, 0x1A}},
        {"unrecoverable error",
         [](VirtualPrinter& p, bool on) {
             p.setError(on ? PrinterError::Unrecoverable : PrinterError::None);
         },
         {0x18, 0x20, 0x00, 0x00},
         {0x1A, 0x52, 0x32}},
        {"recoverable error",
         [](VirtualPrinter& p, bool on) { p.setError(on); },
         {0x18, 0x04, 0x00, 0x00},
         {0x1A, 0x52, 0x16}},
        {"auto-recoverable error",
         [](VirtualPrinter& p, bool on) {
             p.setError(on ? PrinterError::AutoRecoverable : PrinterError::None);
         },
         {0x18, 0x40, 0x00, 0x00},
         {0x1A, 0x52, 0x52}},
        {"waiting for online recovery",
         [](VirtualPrinter& p, bool on) { p.setWaitingForRecovery(on); },
         {0x18, 0x01, 0x00, 0x00},
         {0x3A, 0x12, 0x12}},
    };
    return stops;
}

TEST_P(PrinterFaultTest, EachStopIsReportedAsTheReferencePrinterDoesAndHoldsTheJob) {
    start();
    printer_->setDrawerOpen(true);
    ASSERT_TRUE(writeAll(host_.get(), kEnableAutoStatus));
    ASSERT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
    for (const Stop& stop : referenceStops()) {
        SCOPED_TRACE(stop.name);
        stop.set(*printer_, true);
        EXPECT_EQ(nextBlock(), stop.block);
        EXPECT_EQ(ask(1) + ask(2) + ask(3), stop.replies);
        // Nothing is printed meanwhile, so the process ID reply waits for the printer.
        ASSERT_TRUE(writeAll(host_.get(), bytesOf("job\n") + kProcessIdFFFF));
        EXPECT_TRUE(quietFor(host_.get(), 100ms));
        stop.set(*printer_, false);
        EXPECT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
        EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReplyFFFF);
    }
    EXPECT_EQ(ask(1), Bytes{0x12});
}

TEST_P(PrinterFaultTest, NetworkTableSetsTheOfflineBitForTheOnlineSwitchAlone) {
    PrinterOptions options;
    options.model = StatusModel::NetworkTable;
    start(options);
    printer_->setDrawerOpen(true);
    ASSERT_TRUE(writeAll(host_.get(), kEnableAutoStatus));
    ASSERT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
    for (const Stop& stop : referenceStops()) {
        SCOPED_TRACE(stop.name);
        stop.set(*printer_, true);
        Bytes block = stop.block;
        block[0] &= static_cast<uint8_t>(~0x08);
        EXPECT_EQ(nextBlock(), block);
        Bytes replies = stop.replies;
        replies[0] &= static_cast<uint8_t>(~0x08);
        EXPECT_EQ(ask(1) + ask(2) + ask(3), replies);
        stop.set(*printer_, false);
        EXPECT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
    }
    printer_->setOffline(true);
    EXPECT_EQ(nextBlock(), (Bytes{0x18, 0x00, 0x00, 0x00}));
}

// The paper runs out (the cover opens) at an exact byte of a job: the printer reports it as it
// would any paper end, prints nothing past that byte, and prints the rest once it is cleared.
TEST_P(PrinterFaultTest, FaultAfterStopsTheJobAtThatByte) {
    start();
    ASSERT_TRUE(writeAll(host_.get(), kEnableAutoStatus));
    ASSERT_EQ(nextBlock(), (Bytes{0x14, 0x00, 0x00, 0x00}));
    const std::string job = letters(250);
    struct Case {
        Fault fault;
        Bytes block;
        std::function<void()> clear;
    };
    const Case cases[] = {
        {Fault::PaperEnd, {0x1C, 0x00, 0x0F, 0x00}, [&] { printer_->setPaper(Paper::Ok); }},
        {Fault::CoverOpen, {0x3C, 0x00, 0x00, 0x00}, [&] { printer_->setCoverOpen(false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault == Fault::PaperEnd ? "paper end" : "cover open");
        printer_->clearRecord();
        printer_->faultAfter(100, c.fault);
        ASSERT_TRUE(writeAll(host_.get(), bytesOf(job) + kProcessIdFFFF));
        EXPECT_EQ(nextBlock(), c.block);
        ASSERT_TRUE(printer_->waitForBytes(job.size() + kProcessIdFFFF.size(), 2s));
        EXPECT_EQ(printer_->text(), job.substr(0, 100));
        EXPECT_FALSE(printer_->waitUntilPrinted(50ms));
        EXPECT_TRUE(quietFor(host_.get(), 100ms));  // no process ID reply either

        c.clear();
        EXPECT_EQ(nextBlock(), (Bytes{0x14, 0x00, 0x00, 0x00}));
        EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReplyFFFF);
        EXPECT_EQ(printer_->text(), job + "[GS ( H fn48 FFFF]");
    }
    // Once: the next job prints whole.
    printer_->clearRecord();
    ASSERT_TRUE(writeAll(host_.get(), bytesOf(job) + kProcessIdFFFF));
    EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReplyFFFF);
    EXPECT_EQ(printer_->text(), job + "[GS ( H fn48 FFFF]");
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, PrinterFaultTest,
                         ::testing::Values(Connection::Serial, Connection::Tcp),
                         [](const auto& param) {
                             return param.param == Connection::Serial ? "Serial" : "Tcp";
                         });

}  // namespace
}  // namespace prnsim::test
