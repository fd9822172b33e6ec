// The USB transport against the virtual printer on a printer-node stand-in: a raw pty reached
// through a symlink, opened non-blocking like the kernel's printer node. A busy printer is one
// that stops reading (the pty fills, writes fail with EAGAIN); a node that takes 0 bytes per
// write is made by standing in front of write() for that device.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "DeviceState.h"
#include "LinuxUSB.h"
#include "StatusCodes.h"
#include "Transport.h"
#include "TransportTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(WritePortTimeout)
inline USBPort& usbPort = UsbRecord(SharedPort());

namespace {

// The device whose writes take nothing (st_rdev + 1; 0: none).
std::atomic<unsigned long> g_takesNothing{0};

}  // namespace

// Writes on the chosen device report 0 bytes taken; every other write goes through.
extern "C" ssize_t write(int fd, const void* data, size_t size) {
    using Real = ssize_t (*)(int, const void*, size_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    const unsigned long device = g_takesNothing.load();
    if (device != 0 && size > 0) {
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev + 1 == device) {
            return 0;
        }
    }
    return real(fd, data, size);
}

namespace {

using namespace prntest;
using prnsim::Bytes;
using prnsim::SerialOptions;
using prnsim::SerialPrinter;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Bytes kDleEot2{0x10, 0x04, 0x02};
const Bytes kDleEot4{0x10, 0x04, 0x04};

std::string LinkPath(const char* name) {
    return "/tmp/prn-usb-" + std::to_string(getpid()) + "-" + name;
}

SerialOptions Node(const char* name, unsigned readRate = 0) {
    SerialOptions options;
    options.link = LinkPath(name);
    options.rawMaster = true;
    options.readRate = readRate;
    return options;
}

Bytes Job(size_t size, unsigned seed) {
    Bytes job(size);
    unsigned x = seed * 2654435761u + 1;
    for (uint8_t& b : job) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(0x20 + (x >> 16) % 0x5F);
    }
    return job;
}

int Size(const Bytes& bytes) {
    return static_cast<int>(bytes.size());
}

class UsbTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetDeviceState();
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override {
        g_takesNothing = 0;
        ClosePort();
    }
    long Open() { return OpenPort(printer.devicePath().c_str()); }

    SerialPrinter printer{Node("node")};
};

TEST_F(UsbTransport, OpenProbeResults) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    Bytes both = kDleEot2;
    both.insert(both.end(), kDleEot4.begin(), kDleEot4.end());
    EXPECT_EQ(printer.received(), both);

    // Cover open: the paper is not asked about.
    printer.clearRecord();
    printer.setReply2(Bytes{0x16});
    EXPECT_EQ(Open(), 1);
    EXPECT_EQ(printer.received(), kDleEot2);

    printer.setReply2(Bytes{0x12});
    printer.setReply4(Bytes{0x72});
    EXPECT_EQ(Open(), 2);
    printer.setReply4(Bytes{0x12});
    EXPECT_EQ(Open(), BRELON_ERROR_SUCCESS);

    // Silence: four reads of 200 ms with 100 ms between, and DLE EOT 4 is never sent.
    printer.setReply2(std::nullopt);
    printer.setReply4(std::nullopt);
    printer.setSilent(true);
    printer.clearRecord();
    const auto start = Clock::now();
    EXPECT_EQ(Open(), BRELON_ERROR_NOT_OPEN);
    const long took = MillisSince(start);
    EXPECT_GE(took, 1190);
    EXPECT_LE(took, 1200 * 14 / 10 + 150);
    EXPECT_EQ(printer.received(), kDleEot2);
}

TEST_F(UsbTransport, PathsThatCannotBeOpenedOrDoNotFit) {
    auto start = Clock::now();
    EXPECT_EQ(OpenPort("/nonexistent/usb/lp0"), BRELON_ERROR_NOT_OPEN);
    EXPECT_LT(MillisSince(start), 100);
    EXPECT_EQ(usbPort.port, kNoNode);
    EXPECT_EQ(OpenPort(nullptr), BRELON_ERROR_NOT_OPEN);

    // A link to the node under a path of 79 characters opens; one of 80 is refused unopened.
    for (const size_t length : {size_t{79}, size_t{80}}) {
        std::string path = LinkPath("long-");
        path.append(length - path.size(), 'x');
        ASSERT_EQ(symlink(printer.slavePath().c_str(), path.c_str()), 0);
        const int before = OpenDescriptorCount();
        const long opened = OpenPort(path.c_str());
        if (length == 79) {
            EXPECT_EQ(opened, BRELON_ERROR_SUCCESS);
        } else {
            EXPECT_EQ(opened, BRELON_ERROR_NOT_OPEN);
            EXPECT_EQ(OpenDescriptorCount(), before);
            EXPECT_EQ(usbPort.port, kNoNode);
        }
        ClosePort();
        unlink(path.c_str());
    }
}

// No node open is -1 (never descriptor 0), and nothing acts on a descriptor then.
TEST_F(UsbTransport, WithoutANodeEverythingIsRefused) {
    EXPECT_EQ(usbPort.port, kNoNode);
    uint8_t buffer[8] = {};
    EXPECT_EQ(WritePort(buffer, 3), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(WritePortTimeout(buffer, 3, 0), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 0), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), BRELON_ERROR_NOT_OPEN);
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(usbPort.port, kNoNode);

    // After a close as well; and a second open closes the first node instead of leaking it.
    const int before = OpenDescriptorCount();
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    ClosePort();
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(WritePort(buffer, 3), BRELON_ERROR_NOT_OPEN);
}

TEST_F(UsbTransport, CommandsGoOutWholeUnlessRefused) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    const Bytes command = Job(150, 1);
    const auto start = Clock::now();
    EXPECT_EQ(WritePort(command.data(), 150), 150);
    EXPECT_GE(MillisSince(start), 29) << "64, 64 and 22 bytes, 10 ms after each";
    EXPECT_TRUE(printer.waitForBytes(150, seconds(2)));
    EXPECT_EQ(printer.received(), command);

    m_bOffline = 1;
    EXPECT_EQ(WritePort(command.data(), 150), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(WritePortTimeout(command.data(), 150, 0), BRELON_ERROR_IO_FAIL);
    m_bOffline = 0;
    EXPECT_EQ(WritePort(command.data(), 0), 0);
    EXPECT_FALSE(printer.waitForBytes(151, milliseconds(100)));
}

// A printer that cuts or prints a logo takes nothing for a while: the job waits for room and
// arrives whole, in order, once.
TEST_F(UsbTransport, PrintDataWaitsOutABusyPrinter) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    printer.clearRecord();
    const Bytes job = Job(64 * 1024, 2);
    long written = -100;
    std::thread writer([&] { written = WritePortTimeout(job.data(), Size(job), 0); });
    ASSERT_TRUE(printer.waitForBytes(20000, seconds(5)));
    printer.setBusy(true);                    // busy: reads nothing more
    std::this_thread::sleep_for(seconds(2));  // the busy time itself
    const size_t duringBusy = printer.received().size();
    printer.setBusy(false);
    writer.join();
    EXPECT_EQ(written, Size(job));
    EXPECT_LT(duringBusy, job.size()) << "the printer was not busy in the middle of the job";
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(3)));
    EXPECT_EQ(printer.received(), job);
}

// ... but not for ever: a printer that takes no byte for the no-progress allowance gives a
// short count, and a node that keeps taking 0 bytes ends a command with -2 after the same time.
TEST_F(UsbTransport, APrinterThatTakesNothingIsGivenUpAfterTheAllowance) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    printer.setBusy(true);
    const Bytes job = Job(64 * 1024, 3);
    auto start = Clock::now();
    const long written = WritePortTimeout(job.data(), Size(job), 0);
    long took = MillisSince(start);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, Size(job));
    EXPECT_GE(took, 4990);
    EXPECT_LE(took, 5000 * 14 / 10 + 150);
    printer.setBusy(false);

    struct stat node {};
    ASSERT_EQ(stat(printer.slavePath().c_str(), &node), 0);
    g_takesNothing = node.st_rdev + 1;
    start = Clock::now();
    EXPECT_EQ(WritePort(job.data(), 3), BRELON_ERROR_IO_FAIL);
    took = MillisSince(start);
    EXPECT_GE(took, 4990);
    EXPECT_LE(took, 5000 * 14 / 10 + 150);
}

// Unplugged with nobody watching (no claim, or before the monitor's next pass): the writes
// fail rather than report nothing written, and the close still closes the dead node.
TEST_F(UsbTransport, AnUnpluggedNodeRefusesData) {
    const int before = OpenDescriptorCount();
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    ASSERT_TRUE(printer.unplug());
    const Bytes job = Job(3000, 5);
    EXPECT_EQ(WritePortTimeout(job.data(), Size(job), 0), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(WritePort(job.data(), 3), BRELON_ERROR_IO_FAIL);
    EXPECT_EQ(ClosePort(), BRELON_ERROR_SUCCESS);
    EXPECT_EQ(OpenDescriptorCount(), before - 1) << "the printer's own end is gone too";
    ASSERT_TRUE(printer.replug());
}

TEST_F(UsbTransport, ReadsWaitTheirWholeTime) {
    ASSERT_EQ(Open(), BRELON_ERROR_SUCCESS);
    uint8_t buffer[256];
    auto start = Clock::now();
    EXPECT_EQ(ReadPort(buffer, 0), 0);
    EXPECT_LT(MillisSince(start), 10);
    EXPECT_EQ(ReadPort(buffer, sizeof buffer), BRELON_ERROR_NOT_OPEN) << "nothing waiting";
    EXPECT_GE(MillisSince(start), 199);

    // Bytes waiting do not cut the wait short; 30 ms is rounded up to 40.
    printer.sendToHost(Bytes{0x14, 0x00, 0x00, 0x0F});
    std::this_thread::sleep_for(milliseconds(50));
    start = Clock::now();
    EXPECT_EQ(ReadPortPrv(buffer, sizeof buffer, 1, 30), 4);
    EXPECT_GE(MillisSince(start), 39);
}

// What a write reported as written reaches a printer slower than the node, close or no close.
TEST_F(UsbTransport, CloseKeepsWhatWasWritten) {
    SerialPrinter slow(Node("slow", 4000));
    ASSERT_TRUE(slow.ok()) << slow.error();
    ASSERT_EQ(OpenPort(slow.devicePath().c_str()), BRELON_ERROR_SUCCESS);
    slow.clearRecord();
    const Bytes job = Job(10000, 4);
    ASSERT_EQ(WritePortTimeout(job.data(), Size(job), 0), Size(job));
    ClosePort();
    EXPECT_TRUE(slow.waitForBytes(job.size(), seconds(6)))
        << slow.received().size() << " of " << job.size() << " bytes arrived";
    EXPECT_EQ(slow.received(), job);
}

}  // namespace
