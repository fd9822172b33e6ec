// The parallel library through its natives on the fake parallel port: the monitor's passes and
// their negotiations against a job on the same descriptor, a printer switched off and on, an
// impact claim that starts nothing, and claims and closes that leave nothing behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "LineTestSupport.h"
#include "prnsim/ParallelPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxParallel";
const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kCompletionRequest{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
constexpr int kReady = 0;
constexpr int kCoverOpen = 1;
constexpr int kOffline = 8;

prnsim::ParallelOptions Port() {
    static int made = 0;
    prnsim::ParallelOptions options;
    options.link = "/tmp/prn-parline-" + std::to_string(getpid()) + "-" + std::to_string(made++);
    return options;
}

class ParallelLine : public NativePortTest {
  protected:
    ParallelLine() : NativePortTest(kClass) {}

    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << lib.error();
        ASSERT_TRUE(printer.ok()) << printer.error();
    }
    void TearDown() override {
        if (lib.ok()) ClosePort();
    }
    void OpenAndClaim() {
        ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(3)));
    }

    prnsim::ParallelPrinter printer{Port()};
};

// A job written while the monitor negotiates the reverse channel every 300 ms arrives whole
// and in order: each side's negotiation and transfer go together.
TEST_F(ParallelLine, AJobDuringTheMonitorsPassesArrivesIntact) {
    OpenAndClaim();
    printer.clearRecord();
    const Bytes job = Job(64 * 1024, 1);
    EXPECT_EQ(lib.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(printer.waitForBytes(job.size(), seconds(10)));
    EXPECT_EQ(printer.received(), job);
}

// Switched off, the printer refuses the reverse channel: offline on every pass (each pass
// tries the enable command again; the port takes nothing while the printer is off). Back on:
// the next pass's enable command reaches it, and its report makes the status ready.
TEST_F(ParallelLine, APrinterSwitchedOffAndOn) {
    OpenAndClaim();
    printer.setPowered(false);
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, milliseconds(900)));
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kOffline; }, seconds(2)));
    const size_t enables = printer.countReceived(kEnable);
    printer.setPowered(true);
    const auto start = Clock::now();
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kReady; }, seconds(3)));
    EXPECT_LE(MillisSince(start), 400 * 14 / 10 + 150) << "more than a pass after power came back";
    EXPECT_EQ(printer.countReceived(kEnable), enables + 1);
}

// The monitor's cadence as a service sees it: a cover opened at any moment shows within one
// idle interval of 300 ms (and the time to read and decode), and while the reverse channel is
// refused every pass asks for automatic status again, a pass being the interval, the enable
// command's 100 ms settle and the refused negotiations the port waits out (about 47 ms each).
// Prints the figures.
TEST_F(ParallelLine, TheMonitorsCadence) {
    OpenAndClaim();
    std::vector<long> latencies;
    for (int i = 0; i < 8; ++i) {
        // Any phase of the pass: the wait before it is not a multiple of the interval.
        std::this_thread::sleep_for(milliseconds(97 * (i + 1) % 300));
        const bool open = i % 2 == 0;
        printer.setCoverOpen(open);
        const auto start = Clock::now();
        ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == (open ? kCoverOpen : kReady); },
                            seconds(3)));
        latencies.push_back(MillisSince(start));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("status latency over %zu changes: min %ld, median %ld, max %ld ms\n",
                latencies.size(), latencies.front(), latencies[latencies.size() / 2],
                latencies.back());
    EXPECT_LE(latencies.back(), 300 * 15 / 10 + 150) << "a change took more than a pass to show";

    // A completion wait hurries the monitor for its own sake only: after it the passes keep
    // their idle cadence.
    EXPECT_TRUE(lib.waitForCompletePrinting(0));
    printer.setReverseChannel(false);
    ASSERT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kOffline; }, seconds(3)));
    std::vector<long> gaps;
    size_t seen = printer.countReceived(kEnable);
    auto last = Clock::now();
    const auto until = last + seconds(4);
    while (Clock::now() < until) {
        const size_t now = printer.countReceived(kEnable);
        if (now != seen) {
            if (seen != 0) gaps.push_back(MillisSince(last));
            last = Clock::now();
            seen = now;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    printer.setReverseChannel(true);
    ASSERT_GE(gaps.size(), 4u) << "the enable command was not sent again on each pass";
    std::sort(gaps.begin(), gaps.end());
    const long median = gaps[gaps.size() / 2];
    std::printf("enable commands while offline: %zu gaps, min %ld, median %ld, max %ld ms\n",
                gaps.size(), gaps.front(), median, gaps.back());
    EXPECT_GE(median, 400 * 9 / 10);
    EXPECT_LE(median, (400 + 3 * 47) * 14 / 10);
}

// An impact claim starts no monitor, so nothing can see the completion reply: the wait says so
// at once. A thermal claim's wait ends on the reply.
TEST_F(ParallelLine, TheCompletionWaitNeedsAThermalClaim) {
    TakeBaseline();
    ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
    const int threads = ThreadCount();
    EXPECT_EQ(lib.claim(1000, false), 0);
    EXPECT_EQ(ThreadCount(), threads) << "an impact claim started a thread";
    auto start = Clock::now();
    EXPECT_FALSE(lib.waitForCompletePrinting(0));
    EXPECT_LT(MillisSince(start), 100);
    EXPECT_EQ(printer.countReceived(kCompletionRequest), 0u);

    ASSERT_EQ(lib.claim(1000, true), 0);
    NativeLibrary* const port = &lib;
    auto completed = ReturnsWithin(seconds(3), [port] { return port->waitForCompletePrinting(0); });
    EXPECT_TRUE(completed.value_or(false));
    if (!completed) lib.closePort();
    ClosePort();
    ExpectNothingLeft();
}

// A printer closed while its cover was open opens again once it is closed; claims and closes
// over and over leave no thread and no descriptor.
TEST_F(ParallelLine, ClaimsAndClosesLeaveNothing) {
    TakeBaseline();
    OpenAndClaim();
    printer.setCoverOpen(true);
    EXPECT_TRUE(WaitFor([&] { return lib.getPrinterStatus(0) == kCoverOpen; }, seconds(2)));
    ClosePort();
    printer.setCoverOpen(false);
    for (int cycle = 0; cycle < 5; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        ASSERT_EQ(lib.openPort(printer.devicePath(), ""), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        const auto start = Clock::now();
        ClosePort();
        EXPECT_TRUE(About(MillisSince(start), 1000)) << MillisSince(start) << " ms";
    }
    ExpectNothingLeft();
}

}  // namespace
