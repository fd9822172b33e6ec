// The USB printer node stand-in by the kernel's usblp rules: the modem shim, linked into this
// executable, lets one descriptor at a time open the node, fails one read each time the printer
// arms it, and answers LPIOC_GET_DEVICE_ID from the line the printer publishes; other devices
// and requests keep the pty's own answers.
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "SimTestSupport.h"
#include "prnsim/ModemFile.h"
#include "prnsim/SerialPrinter.h"
#include "prnsim/Usblp.h"

namespace prnsim::test {
namespace {

namespace fs = std::filesystem;

const std::string kAcme = "MFG:Acme;MDL:TM 1;CMD:ESC/POS;";

// As the USB library opens a node: no termios setup.
Fd openNode(const std::string& path, int flags = 0) {
    return Fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | flags));
}

// 0, or -errno of a failed open (closing what it opened).
int openResult(const std::string& path) {
    Fd fd = openNode(path);
    return fd.get() >= 0 ? 0 : -errno;
}

// Bytes read, or -errno.
ssize_t readOnce(int fd, uint8_t* byte) {
    const ssize_t n = ::read(fd, byte, 1);
    return n >= 0 ? n : -errno;
}

// The reply to LPIOC_GET_DEVICE_ID with room for `room` bytes, in a buffer of room + 8 bytes
// filled with 0xEE beforehand; empty with *error set when the request fails.
Bytes deviceIdReply(int fd, size_t room, int* error) {
    Bytes reply(room + 8, 0xEE);
    *error = ::ioctl(fd, usblpDeviceIdRequest(room), reply.data()) == 0 ? 0 : errno;
    return *error == 0 ? reply : Bytes{};
}

Bytes withLength(const std::string& id) {
    const size_t whole = id.size() + 2;
    Bytes reply;
    reply.push_back(static_cast<uint8_t>(whole >> 8));
    reply.push_back(static_cast<uint8_t>(whole & 0xFF));
    for (const char c : id) reply.push_back(static_cast<uint8_t>(c));
    return reply;
}

class UsblpNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("prnsim-usblp-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        file_ = (dir_ / "lines").string();
        ::setenv("PRNSIM_MODEM_FILE", file_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PRNSIM_MODEM_FILE");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    SerialOptions node(const std::string& id = kAcme) {
        SerialOptions options;
        options.link = (dir_ / ("lp" + std::to_string(made_++))).string();
        options.usblp = true;
        options.deviceId = id;
        return options;
    }

    fs::path dir_;
    std::string file_;
    int made_ = 0;
};

// One open of a node at a time, whichever name it is opened by; the refused open leaves no
// descriptor behind; close ends the open. Ptys without the rules open as often as asked.
TEST_F(UsblpNodeTest, OneOpenAtATime) {
    SerialPrinter printer(node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    const unsigned long refusedBefore = prnsim_usblp_refused_opens();
    {
        Fd first = openNode(printer.devicePath());
        ASSERT_GE(first.get(), 0) << std::strerror(errno);
        const auto descriptors = std::distance(fs::directory_iterator("/proc/self/fd"), {});
        EXPECT_EQ(openResult(printer.devicePath()), -EBUSY);
        EXPECT_EQ(openResult(printer.slavePath()), -EBUSY);
        errno = 0;
        EXPECT_LT(::openat(AT_FDCWD, printer.devicePath().c_str(), O_RDONLY | O_NONBLOCK), 0);
        EXPECT_EQ(errno, EBUSY);
        EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), descriptors)
            << "a refused open kept its descriptor";
        EXPECT_EQ(prnsim_usblp_refused_opens(), refusedBefore + 3);
        Fd path(::open(printer.devicePath().c_str(), O_PATH | O_CLOEXEC));
        EXPECT_GE(path.get(), 0) << "an O_PATH open is no open of the device";

        // The open descriptor works: what the printer sends is read through it.
        printer.sendToHost({0x14, 0x00, 0x00, 0x0F});
        EXPECT_EQ(readBytes(first.get(), 4, 2s), (Bytes{0x14, 0x00, 0x00, 0x0F}));
    }
    EXPECT_EQ(openResult(printer.devicePath()), 0) << "close did not end the open";

    SerialOptions plain;
    plain.link = (dir_ / "ttyPLAIN").string();
    SerialPrinter serial(plain);
    Fd a = openNode(serial.devicePath());
    Fd b = openNode(serial.devicePath());
    EXPECT_GE(a.get(), 0);
    EXPECT_GE(b.get(), 0);
}

// A descriptor number closed without close() (close_range) and given to another file does not
// hold the node; nor does a node unplugged and plugged in again (a new pty) stay held by the
// dead descriptor the host keeps.
TEST_F(UsblpNodeTest, OnlyALiveDescriptorHoldsTheNode) {
    SerialPrinter printer(node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    const int fd = ::open(printer.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::syscall(SYS_close_range, fd, fd, 0), 0);
    Fd other(::open("/dev/null", O_RDONLY));  // likely the same number
    EXPECT_EQ(openResult(printer.devicePath()), 0);

    Fd held = openNode(printer.devicePath());
    ASSERT_GE(held.get(), 0);
    ASSERT_TRUE(printer.unplug());
    ASSERT_TRUE(printer.replug());
    EXPECT_EQ(openResult(printer.devicePath()), 0);
}

// Each failNextRead fails exactly one read of the open node with EIO, without taking the bytes
// waiting; a descriptor opened later does not see an error already served; an unplug forgets
// one not yet served, and there is none to arm while unplugged.
TEST_F(UsblpNodeTest, AReadErrorIsServedOncePerArm) {
    SerialPrinter printer(node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    Fd host = openNode(printer.devicePath());
    ASSERT_GE(host.get(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(readOnce(host.get(), &byte), -EAGAIN);

    printer.sendToHost({0x14});
    ASSERT_TRUE(printer.waitForSent(1, 2s));
    ASSERT_TRUE(printer.failNextRead());
    const unsigned long failedBefore = prnsim_usblp_failed_reads();
    EXPECT_EQ(readOnce(host.get(), &byte), -EIO);
    EXPECT_EQ(prnsim_usblp_failed_reads(), failedBefore + 1);
    EXPECT_EQ(readBytes(host.get(), 1, 2s), Bytes{0x14}) << "the failed read took the byte";
    EXPECT_EQ(readOnce(host.get(), &byte), -EAGAIN);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(printer.failNextRead());
        EXPECT_EQ(readOnce(host.get(), &byte), -EIO) << "arm " << i + 2;
        EXPECT_EQ(readOnce(host.get(), &byte), -EAGAIN);
    }
    host.reset();
    host = openNode(printer.devicePath());
    EXPECT_EQ(readOnce(host.get(), &byte), -EAGAIN) << "an error served is served again";

    // Threads reading at once: one of them gets it.
    ASSERT_TRUE(printer.failNextRead());
    std::atomic<int> failed{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            uint8_t b;
            if (::read(host.get(), &b, 1) < 0 && errno == EIO) ++failed;
        });
    }
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(failed, 1);

    ASSERT_TRUE(printer.failNextRead());
    host.reset();
    ASSERT_TRUE(printer.unplug());
    EXPECT_FALSE(printer.failNextRead());
    ASSERT_TRUE(printer.replug());
    host = openNode(printer.devicePath());
    EXPECT_EQ(readOnce(host.get(), &byte), -EAGAIN) << "an error armed before the unplug";
}

// LPIOC_GET_DEVICE_ID: two bytes of big-endian length that count themselves, the ID, cut to
// the room the request gives and nothing written beyond it; no ID, ENOTTY; a request that is
// not a read, EINVAL. The ID is kept across an unplug and can change meanwhile. The node has
// no modem lines, and a pty without the rules knows no device ID.
TEST_F(UsblpNodeTest, TheDeviceIdComesWithItsLength) {
    SerialPrinter printer(node());
    ASSERT_TRUE(printer.ok()) << printer.error();
    Fd host = openNode(printer.devicePath());
    ASSERT_GE(host.get(), 0);
    int error = 0;
    Bytes reply = deviceIdReply(host.get(), 1024, &error);
    ASSERT_EQ(error, 0) << std::strerror(error);
    const Bytes whole = withLength(kAcme);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + whole.size()), whole);
    EXPECT_EQ(reply[whole.size()], 0xEE);
    for (const size_t room : {size_t{0}, size_t{1}, size_t{10}}) {
        reply = deviceIdReply(host.get(), room, &error);
        ASSERT_EQ(error, 0) << "room " << room;
        Bytes expected(whole.begin(), whole.begin() + room);
        expected.resize(room + 8, 0xEE);
        EXPECT_EQ(reply, expected) << "room " << room;
    }
    uint8_t buffer[64];
    EXPECT_NE(::ioctl(host.get(), _IOC(_IOC_WRITE, 'P', 1, sizeof buffer), buffer), 0);
    EXPECT_EQ(errno, EINVAL);
    int bits = 0;
    EXPECT_NE(::ioctl(host.get(), TIOCMGET, &bits), 0);
    EXPECT_EQ(errno, ENOTTY);

    ASSERT_TRUE(printer.setDeviceId(""));
    deviceIdReply(host.get(), 64, &error);
    EXPECT_EQ(error, ENOTTY);

    const std::string other = "MFG:Other;MDL:X%\x01;";
    host.reset();
    ASSERT_TRUE(printer.unplug());
    ASSERT_TRUE(printer.setDeviceId(other));
    EXPECT_FALSE(printer.setDeviceId(std::string(kMaxWrittenDeviceId + 1, 'x')));
    ASSERT_TRUE(printer.replug());
    EXPECT_EQ(printer.deviceId(), other);
    host = openNode(printer.devicePath());
    reply = deviceIdReply(host.get(), 64, &error);
    ASSERT_EQ(error, 0);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + other.size() + 2), withLength(other));

    SerialPrinter plain;
    Fd tty = openNode(plain.devicePath());
    deviceIdReply(tty.get(), 64, &error);
    EXPECT_EQ(error, ENOTTY);
    EXPECT_FALSE(plain.setDeviceId(kAcme));
    EXPECT_FALSE(plain.failNextRead());
}

// The node's line: "usblp", then the token of the read error armed last and the ID written so
// that it stays one field; the fields of other writers are kept, and unplug removes the line.
TEST_F(UsblpNodeTest, TheNodesLine) {
    SerialPrinter printer(node("MFG:A B;"));
    ASSERT_TRUE(printer.ok()) << printer.error();
    const std::string slave = printer.slavePath();
    const auto line = [&] {
        std::ifstream in(file_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(line(), slave + " 0x0 usblp id=MFG:A%20B;\n");
    ASSERT_TRUE(printer.failNextRead());
    const std::optional<UsblpEntry> armed = readUsblpEntry(file_, slave);
    ASSERT_TRUE(armed.has_value());
    EXPECT_NE(armed->readError, 0u);
    EXPECT_EQ(armed->deviceId, "MFG:A B;");
    EXPECT_EQ(line(),
              slave + " 0x0 usblp eio=" + std::to_string(armed->readError) + " id=MFG:A%20B;\n");

    std::ofstream(file_) << slave << " 0x0 colour=red usblp eio=7 id=X\n";
    ASSERT_TRUE(publishUsblpEntry(file_, slave, {"MFG:%", 0}));
    EXPECT_EQ(line(), slave + " 0x0 usblp id=MFG:%25 colour=red\n");
    EXPECT_EQ(readUsblpEntry(file_, slave), (UsblpEntry{"MFG:%", 0}));
    ASSERT_TRUE(printer.unplug());
    EXPECT_FALSE(readUsblpEntry(file_, slave).has_value());
}

}  // namespace
}  // namespace prnsim::test
