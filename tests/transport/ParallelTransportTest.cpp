// The parallel transport against the virtual printer on the fake parallel port: a raw pty
// behind a symlink, whose ppdev requests the shim (linked into this executable) serves with
// the kernel's rules.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "DeviceState.h"
#include "LinuxParallel.h"
#include "StatusCodes.h"
#include "Transport.h"
#include "TransportTestSupport.h"
#include "prnsim/ParallelPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(getOnlineStatus)
inline ParPort& parPort = ParallelRecord(SharedPort());

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Bytes kDleEot2{0x10, 0x04, 0x02};
const Bytes kDleEot4{0x10, 0x04, 0x04};
const Bytes kLine{'H', 'e', 'l', 'l', 'o', ' ', 'p', 'o', 'r', 't', '\n'};

prnsim::ParallelOptions Port(const char* name) {
    prnsim::ParallelOptions options;
    options.link = "/tmp/prn-par-" + std::to_string(getpid()) + "-" + name;
    return options;
}

bool Open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

long Size(const Bytes& bytes) {
    return static_cast<long>(bytes.size());
}

class ParallelTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetDeviceState();
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override { ClosePort(); }
    long OpenIt() { return OpenPort(printer.devicePath().c_str(), ""); }
    // The write's result and how long it took.
    std::pair<long, long> TimedWrite(const Bytes& data) {
        const auto start = Clock::now();
        const long written = WritePort(data.data(), static_cast<long>(data.size()));
        return {written, MillisSince(start)};
    }

    prnsim::ParallelPrinter printer{Port("port")};
};

TEST_F(ParallelTransport, OpenProbeResults) {
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    Bytes both = kDleEot2;
    both.insert(both.end(), kDleEot4.begin(), kDleEot4.end());
    EXPECT_EQ(printer.received(), both);
    unsigned char lines = 0;
    EXPECT_EQ(ioctl(parPort.port, PPRSTATUS, &lines), 0) << "the port is claimed";

    printer.clearRecord();
    printer.setReply2(Bytes{0x16});
    EXPECT_EQ(OpenIt(), 1);
    EXPECT_EQ(printer.received(), kDleEot2);
    printer.setReply2(Bytes{0x12});
    printer.setReply4(Bytes{0x72});
    EXPECT_EQ(OpenIt(), 2);

    // No answer (no reverse channel): 10 ms, then four empty reads 100 ms apart, and each of
    // the five refused negotiations (the open's, one per read) waited out as the kernel does.
    printer.setReply2(std::nullopt);
    printer.setReply4(std::nullopt);
    printer.setReverseChannel(false);
    printer.clearRecord();
    const auto start = Clock::now();
    EXPECT_EQ(OpenIt(), BRELON_ERROR_NOT_OPEN);
    const long took = MillisSince(start);
    std::printf("open without a reverse channel: -1 after %ld ms\n", took);
    EXPECT_GE(took, 405 + 4 * 47);
    EXPECT_LE(took, 645 * 14 / 10 + 150);
    EXPECT_EQ(printer.received(), kDleEot2);
}

TEST_F(ParallelTransport, PortsThatCannotBeOpenedClaimedOrNamed) {
    auto start = Clock::now();
    EXPECT_EQ(OpenPort("/nonexistent/parport0", ""), BRELON_ERROR_NOT_OPEN);
    EXPECT_LT(MillisSince(start), 100);

    // Held by someone else: the claim is refused and the descriptor closed, once. The close
    // that follows a failed open must not touch that number again: a file of the JVM has it.
    printer.setHeld(true);
    const int before = OpenDescriptorCount();
    EXPECT_EQ(OpenIt(), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(OpenDescriptorCount(), before);
    const int jvmFile = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ClosePort();
    EXPECT_TRUE(Open(jvmFile)) << "the close closed a number it no longer owned";
    close(jvmFile);
    printer.setHeld(false);

    // Names that do not fit the record are refused; a second open closes the first port.
    for (const size_t length : {size_t{99}, size_t{100}}) {
        std::string path = "/tmp/prn-par-long-" + std::to_string(getpid()) + "-";
        path.append(length - path.size(), 'x');
        ASSERT_EQ(symlink(printer.devicePath().c_str(), path.c_str()), 0);
        EXPECT_EQ(OpenPort(path.c_str(), ""),
                  length == 99 ? BRELON_ERROR_SUCCESS : BRELON_ERROR_NOT_OPEN);
        unlink(path.c_str());
    }
    ClosePort();
    const int closed = OpenDescriptorCount();
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(OpenDescriptorCount(), closed + 1);
}

// A write goes ahead only while the status lines say "no fault" (0x08) and "not busy" (0x80).
TEST_F(ParallelTransport, WritesAreJudgedByTheStatusLines) {
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    for (const uint8_t lines : {uint8_t{0x88}, uint8_t{0xDF}}) {
        printer.setStatusLines(lines);
        printer.clearRecord();
        const auto [written, took] = TimedWrite(kLine);
        EXPECT_EQ(written, static_cast<long>(kLine.size())) << std::hex << int{lines};
        EXPECT_LT(took, 100);
        EXPECT_TRUE(printer.waitForBytes(kLine.size(), seconds(2)));
    }
    for (const uint8_t lines : {uint8_t{0x80}, uint8_t{0x08}}) {
        printer.setStatusLines(lines);
        printer.clearRecord();
        long written = -100;
        std::thread writer([&] { written = WritePort(kLine.data(), Size(kLine)); });
        EXPECT_FALSE(printer.waitForBytes(1, milliseconds(300))) << std::hex << int{lines};
        printer.setStatusLines(0xDF);
        writer.join();
        EXPECT_EQ(written, Size(kLine));
        EXPECT_TRUE(printer.waitForBytes(kLine.size(), seconds(2)));
    }
    EXPECT_EQ(WritePort(kLine.data(), 0), 0);
    m_bOffline = 1;
    EXPECT_EQ(WritePort(kLine.data(), Size(kLine)), BRELON_ERROR_IO_FAIL);
    m_bOffline = 0;
}

TEST_F(ParallelTransport, ABusyPrinterIsWaitedForWithinTheAllowance) {
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    printer.setBusy(true);
    std::thread ready([&] {
        std::this_thread::sleep_for(seconds(3));
        printer.setBusy(false);
    });
    const auto [written, took] = TimedWrite(kLine);
    ready.join();
    EXPECT_EQ(written, Size(kLine));
    EXPECT_GE(took, 2990);
    EXPECT_LE(took, 3000 * 14 / 10 + 150);
    ASSERT_TRUE(printer.waitForBytes(kLine.size(), seconds(2)));

    printer.clearRecord();
    printer.setFault(true);
    const auto [never, gaveUp] = TimedWrite(kLine);
    EXPECT_EQ(never, 0);
    EXPECT_GE(gaveUp, 4990);
    EXPECT_LE(gaveUp, 5000 * 14 / 10 + 150);
    EXPECT_FALSE(printer.waitForBytes(1, milliseconds(100)));
}

TEST_F(ParallelTransport, ReadsAnswerAtOnce) {
    ASSERT_EQ(OpenIt(), BRELON_ERROR_SUCCESS);
    uint8_t buffer[256];
    const auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), BRELON_ERROR_IO_FAIL) << "nothing waiting";
    EXPECT_LT(MillisSince(start), 50);
    printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x0F});
    EXPECT_TRUE(WaitFor([&] { return ReadPort(buffer, sizeof buffer) == 4; }, seconds(2)));
    printer.setReverseChannel(false);
    printer.sendToHost(Bytes{0x14});
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), BRELON_ERROR_IO_FAIL) << "nibble mode refused";
}

}  // namespace
