// The virtual printer on a pty, driven by a raw host on the slave.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "SimTestSupport.h"
#include "prnsim/SerialPrinter.h"

namespace prnsim::test {
namespace {

const Bytes kStatus1 = {0x10, 0x04, 0x01};
const Bytes kStatus2 = {0x10, 0x04, 0x02};
const Bytes kStatus4 = {0x10, 0x04, 0x04};
const Bytes kEnableAutoStatus = {0x1D, 0x61, 0xFF};
const Bytes kProcessIdFFFF = {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, 'F', 'F', 'F', 'F'};
const Bytes kProcessIdReplyFFFF = {0x37, 0x22, 'F', 'F', 'F', 'F', 0x00};

Bytes printData(size_t count) {
    return Bytes(count, 'x');
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every byte value in every 256-byte block, in an order that changes from block to block, so a
// lost, doubled or reordered block shows.
Bytes everyValue(size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 167 + (i / 256) * 13);
    return bytes;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to = SIZE_MAX) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

// Writes from the non-blocking host until a write fails with EAGAIN (the pty is full) or all is
// written; returns the count written.
size_t writeUntilFull(int fd, const Bytes& data) {
    size_t written = 0;
    const auto deadline = Clock::now() + 2s;
    while (written < data.size() && Clock::now() < deadline) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno == EAGAIN) break;
    }
    return written;
}

class SerialPrinterTest : public ::testing::Test {
  protected:
    void start(SerialOptions options = {}) {
        printer_ = std::make_unique<SerialPrinter>(options);
        ASSERT_TRUE(printer_->ok()) << printer_->error();
        host_ = openRawSlave(printer_->devicePath());
        ASSERT_GE(host_.get(), 0) << printer_->devicePath();
    }
    Bytes ask(const Bytes& request, size_t replyLength = 1) {
        EXPECT_TRUE(writeAll(host_.get(), request));
        return readBytes(host_.get(), replyLength, 2s);
    }

    std::unique_ptr<SerialPrinter> printer_;
    Fd host_;
};

TEST_F(SerialPrinterTest, IdlePrinterAnswersRealtimeStatus) {
    start();
    EXPECT_EQ(ask(kStatus1), Bytes{0x16});  // drawer closed: pin 3 high
    EXPECT_EQ(ask(kStatus2), Bytes{0x12});
    EXPECT_EQ(ask({0x10, 0x04, 0x03}), Bytes{0x12});
    EXPECT_EQ(ask(kStatus4), Bytes{0x12});
    EXPECT_EQ(printer_->countReceived(kStatus1), 1u);
}

TEST_F(SerialPrinterTest, RealtimeStatusFollowsState) {
    start();
    printer_->setCoverOpen(true);
    EXPECT_EQ(ask(kStatus1), Bytes{0x1E});  // offline with the cover open
    EXPECT_EQ(ask(kStatus2), Bytes{0x16});
    printer_->setCoverOpen(false);
    printer_->setPaper(Paper::NearEnd);
    EXPECT_EQ(ask(kStatus4), Bytes{0x1E});
    printer_->setPaper(Paper::End);
    EXPECT_EQ(ask(kStatus4), Bytes{0x7E});  // paper out also reports near end
    EXPECT_EQ(ask(kStatus2), Bytes{0x32});
    printer_->setPaper(Paper::Ok);
    printer_->setDrawerOpen(true);
    printer_->setOffline(true);
    EXPECT_EQ(ask(kStatus1), Bytes{0x1A});  // pin 3 low, offline
}

TEST_F(SerialPrinterTest, ReplyOverridesAndSilence) {
    start();
    printer_->setReply2(Bytes{0x16});
    printer_->setReply4(Bytes{});  // no answer to DLE EOT 4
    EXPECT_EQ(ask(kStatus2), Bytes{0x16});
    EXPECT_TRUE(writeAll(host_.get(), kStatus4));
    EXPECT_TRUE(quietFor(host_.get(), 200ms));
    printer_->setReply4(Bytes{0x12, 0x12});
    EXPECT_EQ(ask(kStatus4, 2), (Bytes{0x12, 0x12}));
    printer_->setReply2(std::nullopt);
    EXPECT_EQ(ask(kStatus2), Bytes{0x12});

    printer_->setSilent(true);
    EXPECT_TRUE(writeAll(host_.get(), kStatus1 + kEnableAutoStatus + kProcessIdFFFF));
    ASSERT_TRUE(printer_->waitUntilPrinted(2s));
    EXPECT_TRUE(quietFor(host_.get(), 200ms));
    printer_->sendToHost({0x14, 0x00, 0x00, 0x0F});  // injected bytes still go out
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x0F}));
}

TEST_F(SerialPrinterTest, RealtimeStatusOvertakesQueuedPrintDataAndOffline) {
    SerialOptions options;
    options.printer.printSpeed = 500;  // 400 bytes take 0.8 s
    start(options);
    const auto sentAt = Clock::now();
    ASSERT_TRUE(writeAll(host_.get(), printData(400) + kStatus1 + kProcessIdFFFF));
    EXPECT_EQ(readBytes(host_.get(), 1, 2s), Bytes{0x16});
    EXPECT_LT(Clock::now() - sentAt, 400ms);
    EXPECT_FALSE(printer_->waitUntilPrinted(0ms));

    // Offline stops printing but not the real-time answers.
    printer_->setOffline(true);
    EXPECT_EQ(ask(kStatus1), Bytes{0x1E});
    EXPECT_TRUE(quietFor(host_.get(), 1200ms));  // no process ID reply while stopped
    printer_->setOffline(false);
    EXPECT_EQ(readBytes(host_.get(), 7, 3s), kProcessIdReplyFFFF);
}

TEST_F(SerialPrinterTest, ProcessIdReplyWaitsForPrecedingData) {
    SerialOptions options;
    options.printer.printSpeed = 1000;
    start(options);
    const auto sentAt = Clock::now();
    ASSERT_TRUE(writeAll(host_.get(), printData(600) + kProcessIdFFFF));
    EXPECT_EQ(readBytes(host_.get(), 7, 5s), kProcessIdReplyFFFF);
    const auto took = Clock::now() - sentAt;
    EXPECT_GT(took, 550ms);  // 611 bytes at 1000 bytes/s
    EXPECT_LT(took, 611ms * 1.4 + 150ms);
    EXPECT_EQ(printer_->text().substr(595), "xxxxx[GS ( H fn48 FFFF]");
}

TEST_F(SerialPrinterTest, AutomaticStatusBlockThenOneOnEveryChange) {
    start();
    EXPECT_EQ(ask(kEnableAutoStatus, 4), (Bytes{0x14, 0x00, 0x00, 0x00}));
    printer_->setCoverOpen(true);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x3C, 0x00, 0x00, 0x00}));
    printer_->setCoverOpen(true);  // no change, no block
    EXPECT_TRUE(quietFor(host_.get(), 100ms));
    printer_->setCoverOpen(false);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x00}));
    printer_->setPaper(Paper::NearEnd);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x03, 0x00}));
    printer_->setPaper(Paper::End);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x1C, 0x00, 0x0F, 0x00}));
    printer_->setPaper(Paper::Ok);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x00}));
    printer_->setDrawerOpen(true);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x10, 0x00, 0x00, 0x00}));
    printer_->setOffline(true);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x18, 0x00, 0x00, 0x00}));
    printer_->setOffline(false);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x10, 0x00, 0x00, 0x00}));

    ASSERT_TRUE(writeAll(host_.get(), {0x1D, 0x61, 0x00}));
    ASSERT_TRUE(printer_->waitForSequence({0x1D, 0x61, 0x00}, 1, 2s));
    ASSERT_TRUE(printer_->waitUntilPrinted(2s));
    printer_->setDrawerOpen(false);
    EXPECT_TRUE(quietFor(host_.get(), 150ms));
}

TEST_F(SerialPrinterTest, NetworkModelAndReservedBits) {
    SerialOptions options;
    options.printer.model = StatusModel::NetworkTable;
    options.printer.block4 = 0x0F;
    start(options);
    EXPECT_EQ(ask(kEnableAutoStatus, 4), (Bytes{0x14, 0x00, 0x00, 0x0F}));
    printer_->setCoverOpen(true);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x34, 0x00, 0x00, 0x0F}));
    printer_->setCoverOpen(false);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x0F}));
    printer_->setPaper(Paper::End);
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x14, 0x00, 0x0F, 0x0F}));
}

TEST_F(SerialPrinterTest, DrawerKickRecordedAndOptionallyOpensDrawer) {
    SerialOptions options;
    options.printer.pulseOpensDrawer = true;
    start(options);
    EXPECT_EQ(ask(kEnableAutoStatus, 4), (Bytes{0x14, 0x00, 0x00, 0x00}));
    const auto before = Clock::now();
    ASSERT_TRUE(writeAll(host_.get(), {0x1B, 0x70, 0x00, 0x32, 0x64}));
    EXPECT_EQ(readBytes(host_.get(), 4, 2s), (Bytes{0x10, 0x00, 0x00, 0x00}));
    const std::vector<DrawerPulse> pulses = printer_->pulses();
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0].pin, 2);
    EXPECT_EQ(pulses[0].onMs, 100);
    EXPECT_EQ(pulses[0].offMs, 200);
    EXPECT_GE(pulses[0].time, before);
    EXPECT_LE(pulses[0].time, Clock::now());
    EXPECT_TRUE(printer_->drawerOpen());
    EXPECT_EQ(ask(kStatus1), Bytes{0x12});
    EXPECT_NE(printer_->text().find("[ESC p pin2 100ms/200ms]"), std::string::npos);
}

TEST_F(SerialPrinterTest, StatusRequestInsideGraphicsAnsweredButNotText) {
    start();
    // GS v 0, 4 bytes x 1 row, whose data is 10 04 01 and 'Z'.
    const Bytes image = {0x1D, 0x76, 0x30, 0x00, 0x04, 0x00, 0x01, 0x00, 0x10, 0x04, 0x01, 'Z'};
    EXPECT_EQ(ask(Bytes{'A'} + image + Bytes{'B', 0x0A}), Bytes{0x16});
    ASSERT_TRUE(printer_->waitForBytes(15, 2s));
    ASSERT_TRUE(printer_->waitUntilPrinted(2s));
    EXPECT_EQ(printer_->text(), "A[GS v 0 image 4x1]B\n");
}

TEST_F(SerialPrinterTest, RecordKeepsChunksInOrderAndClears) {
    start();
    ASSERT_TRUE(writeAll(host_.get(), {0x1B, 0x40}));
    ASSERT_TRUE(printer_->waitForBytes(2, 2s));
    ASSERT_TRUE(writeAll(host_.get(), {'h', 'i', 0x0A}));
    ASSERT_TRUE(printer_->waitForSequence({'h', 'i'}, 1, 2s));
    ASSERT_TRUE(printer_->waitUntilPrinted(2s));
    const std::vector<ReceivedChunk> chunks = printer_->chunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_LE(chunks[0].time, chunks[1].time);
    EXPECT_EQ(chunks[1].bytes, (Bytes{'h', 'i', 0x0A}));
    EXPECT_EQ(chunks[0].connection, 0);
    EXPECT_EQ(printer_->received(), (Bytes{0x1B, 0x40, 'h', 'i', 0x0A}));
    EXPECT_EQ(printer_->text(), "[ESC @]hi\n");
    EXPECT_FALSE(printer_->waitForSequence({'h', 'i'}, 2, 50ms));
    printer_->clearRecord();
    EXPECT_TRUE(printer_->received().empty());
    EXPECT_TRUE(printer_->text().empty());
    EXPECT_TRUE(printer_->chunks().empty());
}

TEST_F(SerialPrinterTest, UnplugAndReplugThroughLink) {
    const std::string link =
        (std::filesystem::temp_directory_path() / ("prnsim-lp-" + std::to_string(::getpid())))
            .string();
    SerialOptions options;
    options.link = link;
    start(options);
    const std::string firstSlave = printer_->slavePath();
    EXPECT_EQ(std::filesystem::read_symlink(link), firstSlave);
    EXPECT_EQ(ask(kStatus1), Bytes{0x16});

    ASSERT_TRUE(printer_->unplug());
    EXPECT_FALSE(printer_->plugged());
    uint8_t b = 0;
    EXPECT_EQ(::read(host_.get(), &b, 1), 0);  // hang-up
    EXPECT_EQ(::write(host_.get(), &b, 1), -1);
    EXPECT_EQ(errno, EIO);
    struct stat st;
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
    host_.reset();

    ASSERT_TRUE(printer_->replug());
    EXPECT_EQ(std::filesystem::read_symlink(link), printer_->slavePath());
    host_ = openRawSlave(link);
    ASSERT_GE(host_.get(), 0);
    EXPECT_EQ(ask(kStatus1), Bytes{0x16});
    const std::vector<ReceivedChunk> chunks = printer_->chunks();
    EXPECT_EQ(chunks.back().connection, 1);
    printer_.reset();
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

// What the line carried before the cable was pulled is the printer's: written by the host, then
// the unplug at once, before the reader's next turn; nothing of it may be lost (the host saw it
// leave the port), however the unplug and the reader meet.
TEST_F(SerialPrinterTest, AnUnplugKeepsWhatTheLineAlreadyCarried) {
    for (int round = 0; round < 20; ++round) {
        start();
        const Bytes job = everyValue(3000);
        ASSERT_TRUE(writeAll(host_.get(), job));
        ASSERT_TRUE(printer_->unplug());
        EXPECT_EQ(printer_->received(), job) << "round " << round;
        host_.reset();
        printer_.reset();
    }
}

TEST_F(SerialPrinterTest, SlowReaderLetsTheLineFillUp) {
    SerialOptions options;
    options.readRate = 200;
    start(options);
    // A pty holds a few KiB; at 200 bytes/s a 64 KiB write cannot get through at once.
    const Bytes big = printData(64 * 1024);
    size_t written = 0;
    bool sawFull = false;
    const auto deadline = Clock::now() + 2s;
    while (written < big.size() && Clock::now() < deadline) {
        const ssize_t n = ::write(host_.get(), big.data() + written, big.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno == EAGAIN) {
            sawFull = true;
            break;
        }
    }
    EXPECT_TRUE(sawFull);
    EXPECT_LT(written, big.size());
    printer_->setReadRate(0);  // catches up at full speed
    EXPECT_TRUE(printer_->waitForBytes(written, 5s));
}

TEST_F(SerialPrinterTest, BusyPrinterLetsTheLineFillThenTakesEverythingInOrder) {
    start();
    printer_->setBusy(true);
    // A status request is not read while busy either: it waits in the pty with the data.
    ASSERT_TRUE(writeAll(host_.get(), kStatus1));
    EXPECT_TRUE(quietFor(host_.get(), 200ms));
    const Bytes data = everyValue(64 * 1024);
    const size_t taken = writeUntilFull(host_.get(), data);
    EXPECT_GT(taken, 1024u);
    ASSERT_LT(taken, data.size()) << "the writer never saw EAGAIN";
    EXPECT_TRUE(printer_->received().empty());

    printer_->setBusy(false);
    EXPECT_EQ(readBytes(host_.get(), 1, 2s), Bytes{0x16});
    ASSERT_TRUE(writeAll(host_.get(), slice(data, taken)));
    ASSERT_TRUE(printer_->waitForBytes(kStatus1.size() + data.size(), 5s));
    EXPECT_EQ(printer_->received(), kStatus1 + data);
}

TEST_F(SerialPrinterTest, BusyForAndBusyAfterResumeByThemselves) {
    start();
    const Bytes data = everyValue(64 * 1024);
    const auto busyFrom = Clock::now();
    printer_->busyFor(600ms);
    const size_t taken = writeUntilFull(host_.get(), data);
    ASSERT_LT(taken, data.size()) << "the writer never saw EAGAIN";
    ASSERT_TRUE(printer_->waitForBytes(taken, 3s));
    const auto resumedAfter = printer_->chunks().front().time - busyFrom;
    EXPECT_GE(resumedAfter, 600ms - 40ms);
    EXPECT_LE(resumedAfter, 600ms * 1.4 + 150ms);
    EXPECT_EQ(printer_->received(), slice(data, 0, taken));
    ASSERT_TRUE(writeAll(host_.get(), slice(data, taken)));
    ASSERT_TRUE(printer_->waitForBytes(data.size(), 5s));
    printer_->clearRecord();

    // Exactly 1000 more bytes are read, then nothing for 800 ms, then the rest.
    printer_->busyAfter(1000, 800ms);
    const size_t held = writeUntilFull(host_.get(), data);
    ASSERT_LT(held, data.size()) << "the writer never saw EAGAIN";
    ASSERT_TRUE(printer_->waitForBytes(1000, 2s));
    EXPECT_FALSE(printer_->waitForBytes(1001, 200ms));
    ASSERT_TRUE(printer_->waitForBytes(held, 3s));
    const std::vector<ReceivedChunk> chunks = printer_->chunks();
    size_t before = 0, at = 0;
    while (at < chunks.size() && before < 1000) before += chunks[at++].bytes.size();
    ASSERT_EQ(before, 1000u);
    ASSERT_LT(at, chunks.size());
    const auto pause = chunks[at].time - chunks[at - 1].time;
    EXPECT_GE(pause, 800ms - 40ms);
    EXPECT_LE(pause, 800ms * 1.4 + 150ms);

    // Once: what follows is read without another pause.
    ASSERT_TRUE(writeAll(host_.get(), slice(data, held) + data));
    ASSERT_TRUE(printer_->waitForBytes(2 * data.size(), 5s));
    EXPECT_EQ(printer_->received(), data + data);
    const std::vector<ReceivedChunk> all = printer_->chunks();
    for (size_t i = at + 1; i < all.size(); ++i)
        EXPECT_LT(all[i].time - all[i - 1].time, 800ms - 40ms) << "a pause before chunk " << i;
}

// A printer that stops taking data in the middle of a job for as long as the test wants: exactly
// so many bytes are read, then nothing until setBusy(false), then everything in order. A
// busyAfter with a long period ends the same way.
TEST_F(SerialPrinterTest, StopAfterHoldsTheRestUntilToldToGoOn) {
    start();
    const Bytes data = everyValue(64 * 1024);
    for (const bool untilTold : {true, false}) {
        SCOPED_TRACE(untilTold ? "stopAfter" : "busyAfter for an hour");
        printer_->clearRecord();
        if (untilTold)
            printer_->stopAfter(1000);
        else
            printer_->busyAfter(1000, std::chrono::hours(1));
        const size_t held = writeUntilFull(host_.get(), data);
        ASSERT_LT(held, data.size()) << "the writer never saw EAGAIN";
        ASSERT_TRUE(printer_->waitForBytes(1000, 2s));
        EXPECT_TRUE(printer_->busy());
        EXPECT_FALSE(printer_->waitForBytes(1001, 300ms));
        EXPECT_EQ(printer_->received(), slice(data, 0, 1000));

        printer_->setBusy(false);
        EXPECT_FALSE(printer_->busy());
        ASSERT_TRUE(writeAll(host_.get(), slice(data, held)));
        ASSERT_TRUE(printer_->waitForBytes(data.size(), 5s));
        EXPECT_EQ(printer_->received(), data);
    }
}

}  // namespace
}  // namespace prnsim::test
