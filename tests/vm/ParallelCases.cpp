// libprnparallel on the kernel's ppdev over the machine's emulated parallel port. Nothing
// answers on its far side (a file on the host records what comes out), so nibble mode is
// refused there: the requests we use are checked one by one, compatibility-mode data is written
// for the host to compare, and the open probe must give up in time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "VmSupport.h"

namespace {

using namespace prntest;
using namespace prnvm;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxParallel";

class ParallelPort : public NativePortTest {
  protected:
    ParallelPort() : NativePortTest(kClass) {}
    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << lib.error();
        ASSERT_TRUE(Exists(node)) << node << " is not there";
    }

    const std::string node = Env("PRN_VM_PARPORT", "/dev/parport0");
};

TEST_F(ParallelPort, TheDriverTakesOurRequests) {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    int compat = IEEE1284_MODE_COMPAT;
    int nibble = IEEE1284_MODE_NIBBLE;
    unsigned char lines = 0;
    EXPECT_EQ(ioctl(fd, PPRSTATUS, &lines), -1) << "a request before the claim";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ioctl(fd, PPCLAIM), 0) << std::strerror(errno);
    EXPECT_EQ(ioctl(fd, PPNEGOT, &compat), 0) << std::strerror(errno);
    EXPECT_EQ(ioctl(fd, PPRSTATUS, &lines), 0) << std::strerror(errno);
    Figure("PPRSTATUS 0x%02x", lines);
    auto start = Clock::now();
    const int negotiated = ioctl(fd, PPNEGOT, &nibble);
    const int error = errno;
    Figure("PPNEGOT nibble: %d (%s) after %ld ms", negotiated,
           negotiated < 0 ? std::strerror(error) : "ok", MillisSince(start));
    EXPECT_EQ(negotiated, -1);
    EXPECT_EQ(error, EIO);
    // A read in compatibility mode negotiates the reverse channel by itself.
    uint8_t byte = 0;
    start = Clock::now();
    const ssize_t got = ::read(fd, &byte, 1);
    const int readError = errno;
    Figure("read in compatibility mode: %zd (%s) after %ld ms", got,
           got < 0 ? std::strerror(readError) : "ok", MillisSince(start));
    EXPECT_EQ(got, -1);
    EXPECT_EQ(ioctl(fd, PPRELEASE), 0);
    ::close(fd);
}

// 16 KiB in compatibility mode; the host compares what reached its side with the copy written
// next to it.
TEST_F(ParallelPort, CompatibilityDataGoesOut) {
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(ioctl(fd, PPCLAIM), 0) << std::strerror(errno);
    int compat = IEEE1284_MODE_COMPAT;
    ASSERT_EQ(ioctl(fd, PPNEGOT, &compat), 0);
    const prnsim::Bytes job = Job(16 * 1024, 31);
    size_t done = 0;
    const auto start = Clock::now();
    while (done < job.size() && MillisSince(start) < 60000) {
        const ssize_t n = ::write(fd, job.data() + done, job.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    Figure("%zu of %zu bytes written in %ld ms", done, job.size(), MillisSince(start));
    EXPECT_EQ(done, job.size());
    ioctl(fd, PPRELEASE);
    ::close(fd);
    std::ofstream copy(Env("PRN_VM_OUT", "/tmp") + "/parallel-expected.bin", std::ios::binary);
    copy.write(reinterpret_cast<const char*>(job.data()), static_cast<std::streamsize>(job.size()));
    EXPECT_TRUE(static_cast<bool>(copy));
}

// No reverse channel: the probe's questions are never answered, and the open gives -1 after
// its four empty reads (about 10 ms + 4 x 100 ms), leaving the port closed.
TEST_F(ParallelPort, TheOpenProbeGivesUpInTime) {
    TakeBaseline();
    const auto start = Clock::now();
    EXPECT_EQ(lib.openPort(node, ""), -1);
    const long took = MillisSince(start);
    Figure("open probe: -1 after %ld ms", took);
    EXPECT_TRUE(About(took, 410)) << took << " ms";
    ClosePort();
    ExpectNothingLeft();
}

}  // namespace
