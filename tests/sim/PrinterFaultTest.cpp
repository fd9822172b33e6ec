// Errors, waiting for online recovery and faults in the middle of a job, as the host sees them on
// every connection: status blocks, DLE EOT replies, and a print engine that stops and resumes.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/TcpPrinter.h"

namespace prnsim::test {
namespace {

const Bytes kEnableAutoStatus = {0x1D, 0x61, 0xFF};
const Bytes kProcessId = {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, 'F', 'F', 'F', 'F'};
const Bytes kProcessIdReply = {0x37, 0x22, 'F', 'F', 'F', 'F', 0x00};

// Text whose every position can be told from its neighbours, then a process ID request.
std::string letters(size_t count) {
    std::string text(count, ' ');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}
Bytes jobOf(const std::string& text) {
    Bytes job(text.begin(), text.end());
    job.insert(job.end(), kProcessId.begin(), kProcessId.end());
    return job;
}

void cover(VirtualPrinter& p, bool on) {
    p.setCoverOpen(on);
}
void paper(VirtualPrinter& p, bool on) {
    p.setPaper(on ? Paper::End : Paper::Ok);
}
void recovery(VirtualPrinter& p, bool on) {
    p.setWaitingForRecovery(on);
}
using Error = PrinterError;
template <Error kError>
void error(VirtualPrinter& p, bool on) {
    p.setError(on ? kError : Error::None);
}

// A way for the printer to stop; what a reference printer sends for it (drawer pin low) in its
// status block and in reply to DLE EOT 1, 2 and 3.
struct Stop {
    const char* name;
    void (*set)(VirtualPrinter&, bool);
    Bytes block;
    Bytes replies;
};
const Stop kStops[] = {
    {"cover open", cover, {0x38, 0x00, 0x00, 0x00}, {0x1A, 0x16, 0x12}},
    {"paper end", paper, {0x18, 0x00, 0x0F, 0x00}, {0x1A, 0x32, 0x12}},
    {"autocutter", error<Error::Autocutter>, {0x18, 0x08, 0x00, 0x00}, {0x1A, 0x52, 0x1A}},
    {"unrecoverable", error<Error::Unrecoverable>, {0x18, 0x20, 0x00, 0x00}, {0x1A, 0x52, 0x32}},
    {"recoverable", error<Error::Recoverable>, {0x18, 0x04, 0x00, 0x00}, {0x1A, 0x52, 0x16}},
    {"auto-recoverable", error<Error::AutoRecoverable>, {0x18, 0x40, 0, 0}, {0x1A, 0x52, 0x52}},
    {"waiting for recovery", recovery, {0x18, 0x01, 0x00, 0x00}, {0x3A, 0x12, 0x12}},
};

enum class Connection { Serial, Tcp };

class PrinterFaultTest : public ::testing::TestWithParam<Connection> {
  protected:
    void start(PrinterOptions options = {}) {
        if (GetParam() == Connection::Serial) {
            SerialOptions serial;
            serial.printer = options;
            auto printer = std::make_unique<SerialPrinter>(serial);
            host_ = openRawSlave(printer->devicePath());
            printer_ = std::move(printer);
        } else {
            TcpOptions tcp;
            tcp.printer = options;
            auto printer = std::make_unique<TcpPrinter>(tcp);
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
    Bytes replies123() {
        Bytes all;
        for (const uint8_t n : {uint8_t{1}, uint8_t{2}, uint8_t{3}}) {
            const Bytes reply = ask(n);
            all.insert(all.end(), reply.begin(), reply.end());
        }
        return all;
    }

    std::unique_ptr<VirtualPrinter> printer_;
    Fd host_;
};

// Each stop is reported as the reference printer reports it, holds the job until it ends, and
// the network table differs only in the offline bit, which its online switch alone sets.
TEST_P(PrinterFaultTest, EachStopIsReportedAndHoldsTheJob) {
    for (const StatusModel model : {StatusModel::Reference, StatusModel::NetworkTable}) {
        const uint8_t offline = model == StatusModel::Reference ? 0x08 : 0x00;
        start({.model = model});
        printer_->setDrawerOpen(true);
        ASSERT_TRUE(writeAll(host_.get(), kEnableAutoStatus));
        ASSERT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
        for (const Stop& stop : kStops) {
            SCOPED_TRACE(std::string(stop.name) + (offline ? "" : ", network table"));
            Bytes block = stop.block;
            Bytes replies = stop.replies;
            block[0] = static_cast<uint8_t>((block[0] & ~0x08) | offline);
            replies[0] = static_cast<uint8_t>((replies[0] & ~0x08) | offline);
            stop.set(*printer_, true);
            EXPECT_EQ(nextBlock(), block);
            EXPECT_EQ(replies123(), replies);
            if (model == StatusModel::Reference) {  // the engine stops whatever the model
                ASSERT_TRUE(writeAll(host_.get(), jobOf("job\n")));
                EXPECT_TRUE(quietFor(host_.get(), 100ms));  // no process ID reply
            }
            stop.set(*printer_, false);
            EXPECT_EQ(nextBlock(), (Bytes{0x10, 0x00, 0x00, 0x00}));
            if (model == StatusModel::Reference) {
                EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReply);
            }
        }
        printer_->setOffline(true);
        EXPECT_EQ(nextBlock(), (Bytes{0x18, 0x00, 0x00, 0x00}));
    }
}

// The paper runs out (the cover opens) at an exact byte of a job: the printer reports it as any
// paper end, prints nothing past that byte, and the rest once it is cleared; once.
TEST_P(PrinterFaultTest, FaultAfterStopsTheJobAtThatByte) {
    start();
    ASSERT_TRUE(writeAll(host_.get(), kEnableAutoStatus));
    ASSERT_EQ(nextBlock(), (Bytes{0x14, 0x00, 0x00, 0x00}));
    const std::string text = letters(250);
    for (const Fault fault : {Fault::PaperEnd, Fault::CoverOpen}) {
        const bool paperEnd = fault == Fault::PaperEnd;
        SCOPED_TRACE(paperEnd ? "paper end" : "cover open");
        printer_->clearRecord();
        printer_->faultAfter(100, fault);
        ASSERT_TRUE(writeAll(host_.get(), jobOf(text)));
        const Bytes block =
            paperEnd ? Bytes{0x1C, 0x00, 0x0F, 0x00} : Bytes{0x3C, 0x00, 0x00, 0x00};
        EXPECT_EQ(nextBlock(), block);
        ASSERT_TRUE(printer_->waitForBytes(text.size() + kProcessId.size(), 2s));
        EXPECT_EQ(printer_->text(), text.substr(0, 100));
        EXPECT_TRUE(quietFor(host_.get(), 100ms));  // no process ID reply either
        EXPECT_EQ(printer_->text(), text.substr(0, 100));
        paperEnd ? printer_->setPaper(Paper::Ok) : printer_->setCoverOpen(false);
        EXPECT_EQ(nextBlock(), (Bytes{0x14, 0x00, 0x00, 0x00}));
        EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReply);
        EXPECT_EQ(printer_->text(), text + "[GS ( H fn48 FFFF]");
    }
    ASSERT_TRUE(writeAll(host_.get(), jobOf(text)));
    EXPECT_EQ(readBytes(host_.get(), 7, 2s), kProcessIdReply);
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, PrinterFaultTest,
                         ::testing::Values(Connection::Serial, Connection::Tcp),
                         [](const auto& param) {
                             return param.param == Connection::Serial ? "Serial" : "Tcp";
                         });

}  // namespace
}  // namespace prnsim::test
