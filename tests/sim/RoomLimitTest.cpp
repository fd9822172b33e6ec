// A line short of room: the modem shim, linked into this executable, lets the host's writes to a
// serial line, a USB printer node or a parallel port hand over only the bytes the printer grants
// (setRoom), then fails them with EAGAIN until the printer lifts the limit; what got through
// reaches the printer, and other descriptors are never limited.
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "SimTestSupport.h"
#include "prnsim/ModemFile.h"
#include "prnsim/ParallelPrinter.h"
#include "prnsim/SerialPrinter.h"

namespace prnsim::test {
namespace {

namespace fs = std::filesystem;

// Bytes written, or -errno.
ssize_t put(int fd, const Bytes& bytes) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    return n >= 0 ? n : -errno;
}

class RoomLimitTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("prnsim-room-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        file_ = (dir_ / "lines").string();
        ::setenv("PRNSIM_MODEM_FILE", file_.c_str(), 1);
    }
    void TearDown() override {
        host_.reset();
        printer_.reset();
        ::unsetenv("PRNSIM_MODEM_FILE");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    // The printer of the parameter's kind, and the host's descriptor opened as the library opens
    // it (a parallel port claimed).
    void Connect() {
        const std::string link = (dir_ / "device").string();
        if (GetParam() == "parallel") {
            ParallelOptions options;
            options.link = link;
            printer_ = std::make_unique<ParallelPrinter>(options);
        } else {
            SerialOptions options;
            options.link = link;
            options.modem = GetParam() == "serial";
            options.usblp = GetParam() == "usb";
            printer_ = std::make_unique<SerialPrinter>(options);
        }
        ASSERT_TRUE(printer_->ok()) << printer_->error();
        host_ = Fd(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_GE(host_.get(), 0) << std::strerror(errno);
        if (GetParam() == "parallel") {
            ASSERT_EQ(::ioctl(host_.get(), PPCLAIM), 0);
        }
    }

    fs::path dir_;
    std::string file_;
    std::unique_ptr<SerialPrinter> printer_;
    Fd host_;
};

// One byte of room: a three-byte command goes out in part, the rest is refused until the limit
// is lifted, and then the rest and what follows arrive in order. A new grant counts afresh, and a
// grant of nothing refuses at once.
TEST_P(RoomLimitTest, WritesTakeOnlyTheRoomGranted) {
    Connect();
    const int fd = host_.get();
    ASSERT_TRUE(printer_->setRoom(1));
    ASSERT_TRUE(readRoom(file_, printer_->slavePath()).has_value());
    EXPECT_EQ(put(fd, {0x1D, 0x61, 0xFF}), 1);
    EXPECT_EQ(put(fd, {0x61, 0xFF}), -EAGAIN);
    EXPECT_EQ(put(fd, {0x61, 0xFF}), -EAGAIN);
    ASSERT_TRUE(printer_->setRoom(std::nullopt));
    EXPECT_FALSE(readRoom(file_, printer_->slavePath()).has_value());
    EXPECT_EQ(put(fd, {0x61, 0xFF, 'a', 'b'}), 4);
    EXPECT_TRUE(printer_->waitForBytes(5, 2s));
    EXPECT_EQ(printer_->received(), (Bytes{0x1D, 0x61, 0xFF, 'a', 'b'}));

    ASSERT_TRUE(printer_->setRoom(3));
    EXPECT_EQ(put(fd, {'c', 'd'}), 2);
    EXPECT_EQ(put(fd, {'e', 'f'}), 1);
    EXPECT_EQ(put(fd, {'f'}), -EAGAIN);
    ASSERT_TRUE(printer_->setRoom(2));  // a new grant
    EXPECT_EQ(put(fd, {'f', 'g', 'h'}), 2);
    ASSERT_TRUE(printer_->setRoom(0));
    EXPECT_EQ(put(fd, {'h'}), -EAGAIN);
    ASSERT_TRUE(printer_->setRoom(std::nullopt));
    EXPECT_EQ(put(fd, {'h'}), 1);
    EXPECT_TRUE(printer_->waitForBytes(11, 2s));
    EXPECT_EQ(printer_->received(),
              (Bytes{0x1D, 0x61, 0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
}

// The room is the device's: another descriptor of the same device shares it, a descriptor of
// another line is not limited, and an unplug ends the limit with the pty.
TEST_P(RoomLimitTest, TheRoomBelongsToItsDevice) {
    Connect();
    SerialOptions other;
    other.modem = true;
    SerialPrinter neighbour(other);
    ASSERT_TRUE(neighbour.ok()) << neighbour.error();
    Fd elsewhere = openRawSlave(neighbour.devicePath());
    ASSERT_GE(elsewhere.get(), 0);

    ASSERT_TRUE(printer_->setRoom(0));
    EXPECT_EQ(put(host_.get(), {'x'}), -EAGAIN);
    EXPECT_EQ(put(elsewhere.get(), {'y', 'z'}), 2);
    if (GetParam() == "serial") {  // the one device here that allows a second open
        Fd second = openRawSlave(printer_->devicePath());
        ASSERT_GE(second.get(), 0);
        EXPECT_EQ(put(second.get(), {'x'}), -EAGAIN);
    }
    ASSERT_TRUE(printer_->unplug());
    ASSERT_TRUE(printer_->replug());
    host_.reset();
    host_ = Fd(::open(printer_->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(host_.get(), 0);
    if (GetParam() == "parallel") {
        ASSERT_EQ(::ioctl(host_.get(), PPCLAIM), 0);
    }
    EXPECT_EQ(put(host_.get(), {'x'}), 1) << "the limit outlived the unplug";
}

INSTANTIATE_TEST_SUITE_P(EveryLine, RoomLimitTest, ::testing::Values("serial", "usb", "parallel"),
                         [](const auto& param) { return param.param; });

// A printer without a line in the state file has no room to limit.
TEST(RoomLimit, NeedsALine) {
    const fs::path dir = fs::temp_directory_path() / ("prnsim-room-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ::setenv("PRNSIM_MODEM_FILE", (dir / "lines").c_str(), 1);
    {
        SerialPrinter plain;
        ASSERT_TRUE(plain.ok());
        EXPECT_FALSE(plain.setRoom(1));
        EXPECT_FALSE(readRoom((dir / "lines").string(), plain.slavePath()).has_value());
    }
    ::unsetenv("PRNSIM_MODEM_FILE");
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace prnsim::test
