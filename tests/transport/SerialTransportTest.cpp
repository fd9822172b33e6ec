// The serial transport against the virtual printer on a real pty.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>

#include <numeric>
#include <thread>

#include "DeviceState.h"
#include "LinuxSerial.h"
#include "StatusCodes.h"
#include "Transport.h"
#include "TransportTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(serConfigurePort)
inline SerPort& serPort = SerialRecord(SharedPort());

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::SerialOptions;
using prnsim::SerialPrinter;

const Bytes kDleEot2{0x10, 0x04, 0x02};
const Bytes kDleEot4{0x10, 0x04, 0x04};

class SerialTransport : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDeviceState();
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override { ClosePort(); }

    long Open(const char* settings = "9600,none,8,1,none") {
        return OpenPort(printer.devicePath().c_str(), settings);
    }
    termios LineSettings() {
        termios tio{};
        EXPECT_EQ(tcgetattr(serPort.port, &tio), 0);
        return tio;
    }

    SerialPrinter printer;
};

TEST_F(SerialTransport, ReadyPrinterOpensWithBothQueries) {
    EXPECT_EQ(Open(), BRELON_ERROR_SUCCESS);
    EXPECT_NE(serPort.port, kNoDescriptor);
    Bytes queries = kDleEot2;
    queries.insert(queries.end(), kDleEot4.begin(), kDleEot4.end());
    EXPECT_EQ(printer.received(), queries);
}

TEST_F(SerialTransport, LineEndsUpRaw) {
    ASSERT_EQ(OpenFromJava(printer.devicePath().c_str(), "9600"), BRELON_ERROR_SUCCESS);
    EXPECT_STREQ(serPort.portSettings, "9600,none,8,1,hdwr");
    const termios tio = LineSettings();
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialTransport, SpeedStopBitsAndParityChecksReadBack) {
    // A pty keeps 8 data bits without parity, but speed, stop bits and the input parity checks
    // read back.
    ASSERT_EQ(Open("19200,even,7,2,none"), BRELON_ERROR_SUCCESS);
    const termios tio = LineSettings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_iflag & (INPCK | ISTRIP), static_cast<tcflag_t>(INPCK | ISTRIP));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
}

TEST_F(SerialTransport, ProbeResults) {
    // Cover open: judged on the last byte of the reply, DLE EOT 4 is not sent.
    printer.setReply2(Bytes{0x12, 0x16});
    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(printer.received(), kDleEot2);
    ClosePort();

    printer.clearRecord();
    printer.setReply2(std::nullopt);
    printer.setPaper(prnsim::Paper::End);
    EXPECT_EQ(Open(), 2);
    ClosePort();

    // Answered the first query only.
    printer.clearRecord();
    printer.setPaper(prnsim::Paper::Ok);
    printer.setReply4(Bytes{});
    EXPECT_EQ(Open(), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(printer.countReceived(kDleEot4), 1u);
    EXPECT_NE(serPort.port, kNoDescriptor);  // open until the caller closes it
}

TEST_F(SerialTransport, SilentPrinterGivesUpAfterFourReads) {
    printer.setSilent(true);
    const auto start = Clock::now();
    EXPECT_EQ(Open(), BRELON_ERROR_NOT_OPEN);
    const long took = MillisSince(start);
    // 500 ms drain, 20 ms, then four 200 ms reads each followed by 100 ms.
    EXPECT_GE(took, 1650);
    EXPECT_LT(took, 1740 * 14 / 10 + 150);
    EXPECT_EQ(printer.received(), kDleEot2);
}

TEST_F(SerialTransport, ProbeRefusedByStaleFlags) {
    // The open leaves the device state alone: a cover still flagged from before holds back the
    // queries.
    m_bCoverOpen = 1;
    EXPECT_EQ(Open(), BRELON_ERROR_NOT_OPEN);
    EXPECT_TRUE(printer.received().empty());
}

TEST_F(SerialTransport, BytesFromThePrinterArriveUnchanged) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    const Bytes tricky{0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF};
    printer.sendToHost(tricky);
    uint8_t buffer[256] = {};
    Bytes got;
    ASSERT_TRUE(WaitFor(
        [&] {
            const long n = ReadPort(buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
            return got.size() >= tricky.size();
        },
        milliseconds(3000)));
    EXPECT_EQ(got, tricky);
}

Bytes Pattern(size_t size) {
    Bytes data(size);
    const uint8_t special[] = {0x00, 0x0D, 0x11, 0x13, 0xFF, 0x0A, 0x10, 0x04};
    for (size_t i = 0; i < size; ++i) {
        data[i] = i % 3 == 0 ? special[(i / 3) % sizeof special] : static_cast<uint8_t>(i * 7);
    }
    return data;
}

TEST_F(SerialTransport, WritesArriveUnchanged) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    for (const size_t size : {size_t{600}, size_t{64 * 1024}}) {
        printer.clearRecord();
        const Bytes data = Pattern(size);
        EXPECT_EQ(WritePort(data.data(), static_cast<long>(data.size())),
                  static_cast<long>(size));
        ASSERT_TRUE(printer.waitForBytes(size, milliseconds(10000)));
        EXPECT_EQ(printer.received(), data) << size;
    }
}

TEST_F(SerialTransport, SlowReaderDoesNotLoseTheJob) {
    // A printer that takes the line slowly fills the driver's queue; the writer waits for room.
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    printer.setReadRate(20000);
    const Bytes data = Pattern(32 * 1024);
    EXPECT_EQ(WritePort(data.data(), static_cast<long>(data.size())), 32 * 1024);
    ASSERT_TRUE(printer.waitForBytes(data.size(), milliseconds(10000)));
    EXPECT_EQ(printer.received(), data);
}

TEST_F(SerialTransport, WriteRefusedWhileFlagged) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    const uint8_t byte = 'A';
    for (StateWord* flag : {&m_bCoverOpen, &m_bPaperEmpty, &m_bOffline}) {
        *flag = 1;
        EXPECT_EQ(WritePort(&byte, 1), BRELON_ERROR_IO_FAIL);
        EXPECT_EQ(WritePort(&byte, 0), BRELON_ERROR_IO_FAIL);
        *flag = 0;
    }
    EXPECT_EQ(WritePort(&byte, 0), 0);
    EXPECT_TRUE(printer.received().empty());
}

TEST_F(SerialTransport, ReadWaitsForSilenceNotForTheWhole) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    uint8_t buffer[64];
    // No bytes: the window runs out; 0 or less never polls.
    auto start = Clock::now();
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 200), BRELON_ERROR_IO_FAIL);
    EXPECT_GE(MillisSince(start), 190);
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 0), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 0, 0), 0);

    // Bytes trickling in keep the read waiting past its window until enough are there.
    std::thread trickle([&] {
        for (int i = 0; i < 10; ++i) {
            printer.sendToHost(Bytes{static_cast<uint8_t>(i)});
            std::this_thread::sleep_for(milliseconds(40));
        }
    });
    start = Clock::now();
    const long got = ReadPortPrv(buffer, sizeof buffer, 8, 100);
    trickle.join();
    EXPECT_GE(got, 8);
    EXPECT_GE(MillisSince(start), 250);

    // More waiting than asked: exactly length, the rest stays.
    while (ReadPortPrv(buffer, sizeof buffer, 1, 60) > 0) {
    }
    printer.sendToHost(Bytes(10, 0x55));
    ASSERT_TRUE(WaitFor([&] { return ReadPortPrv(buffer, 4, 10, 20) == 4; }, milliseconds(2000)));
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 100), 6);
}

TEST_F(SerialTransport, CloseForgetsTheDescriptor) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    const int fd = serPort.port;
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(serPort.port, kNoDescriptor);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // really closed
    // A second close must not close whatever now has that number.
    const int other = dup(STDERR_FILENO);
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    close(other);
}

TEST_F(SerialTransport, ReopenClosesTheEarlierPort) {
    const int before = OpenDescriptorCount();
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
}

}  // namespace
