// Who owns the serial line: a close against writers and readers in flight, one writer at a
// time, bounded waits, and nothing stale after a close, a refused claim or an unload. Each test
// here describes a fault a service on a till would meet; run against an older build's library
// (PRN_NATIVE_LIB) they show it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Interpose.h"
#include "LineTestSupport.h"
#include "prnsim/SerialPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxSerial";
const Bytes kEnable{0x1D, 0x61, 0xFF};
// GS ( H fn 48, up to the identifier each wait gives its request.
const Bytes kRequest{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
const Bytes kKickPin2{0x1B, 0x70, 0x30, 0x32, 0x64};
const Bytes kCoverOpenBlock{0x3C, 0x00, 0x00, 0x00};
const Bytes kReadyBlock{0x14, 0x00, 0x00, 0x00};
constexpr int kReady = 0;
constexpr int kCoverOpen = 1;
constexpr int kOffline = 8;
constexpr int kIoFail = -2;

prnsim::SerialOptions Printer(unsigned readRate = 0) {
    prnsim::SerialOptions options;
    options.modem = true;
    options.readRate = readRate;
    return options;
}

class SerialLine : public NativePortTest {
  protected:
    SerialLine() : NativePortTest(kClass) {}

    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << lib.error();
        ResetWallClock();
    }
    void TearDown() override {
        ResetWallClock();
        if (lib.ok()) ClosePort();
    }

    // A fresh load of the library: its state as a JVM that has just loaded it sees it.
    void Reload() {
        lib.closePort();
        ASSERT_TRUE(lib.unload());
        ASSERT_TRUE(Library(kClass).ok()) << Library(kClass).error();
    }
    static bool StatusBecomes(NativeLibrary& port, int status) {
        return WaitFor([&] { return port.getPrinterStatus(0) == status; }, seconds(4));
    }
    // A cover-open report from a printer whose cover is closed. The printer's own report (its
    // answer to the claim's enable) may still be on its way and overwrite it: then again.
    bool ReportCoverOpen(prnsim::SerialPrinter& printer) {
        for (int i = 0; i < 5; ++i) {
            printer.sendToHost(kCoverOpenBlock);
            if (WaitFor([&] { return lib.getPrinterStatus(0) == kCoverOpen; }, seconds(1))) {
                return true;
            }
        }
        return false;
    }
    void OpenAndClaim(prnsim::SerialPrinter& printer, bool thermal = true,
                      const char* settings = "9600") {
        ASSERT_EQ(lib.openPort(printer.devicePath(), settings), 0);
        ASSERT_EQ(lib.claim(1000, thermal), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
        // Carried out: the printer reports from now on (a cover opened before would hold it).
        ASSERT_TRUE(printer.waitUntilPrinted(seconds(3)));
        ASSERT_TRUE(StatusBecomes(lib, kReady));
    }
};

// A writer waiting for room on a line whose printer does not read keeps going while another
// thread closes the port. The close must wait until the writer has let go of the number: the
// next file the JVM opens gets that number and must not receive the rest of the receipt.
TEST_F(SerialLine, NoByteGoesToTheNextFileOpenedAfterAClose) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::SerialPrinter printer(Printer());
        ASSERT_TRUE(printer.ok() && printer.setDsr(true));
        ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), 0);
        printer.setReadRate(1);  // from now on it takes a byte a second
        const Bytes job = Job(1 << 20, static_cast<unsigned>(round));
        BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
        ASSERT_TRUE(printer.waitForBytes(1, seconds(3)));
        lib.closePort();
        const ScratchFile file;
        EXPECT_FALSE(WaitFor([&] { return file.size() > 0; }, milliseconds(300)))
            << file.size() << " bytes of the job went into the file opened after the close";
        ASSERT_TRUE(writer.returnedWithin(seconds(2)));
        EXPECT_NE(writer.result(), Size(job));
    }
}

// The same for a reader in its wait for bytes: after the close it must not hand the JVM's own
// file to Java as printer data.
TEST_F(SerialLine, NoReadFromTheNextFileOpenedAfterAClose) {
    const std::string secret = "the JVM's own file";
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::SerialPrinter printer(Printer());
        ASSERT_TRUE(printer.ok() && printer.setDsr(true));
        ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), 0);
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::atomic<Clock::rep> callStart{0};
        std::mutex seenMutex;
        std::string seen;
        std::thread reader([&] {
            while (!stop) {
                Bytes chunk(256);
                callStart = Clock::now().time_since_epoch().count();
                const int n = port->readData(chunk, 256, 0);
                if (n > 0) {
                    const std::lock_guard lock(seenMutex);
                    seen.append(chunk.begin(), chunk.begin() + n);
                }
                ++calls;
            }
        });
        // The reader waits 200 ms for bytes, call after call. The close comes about 1 s after
        // it begins (the release wait): begun half-way into a call, it falls into a call too.
        ASSERT_TRUE(WaitFor([&] { return calls >= 1; }, seconds(2)));
        ASSERT_TRUE(WaitFor(
            [&] {
                const Clock::time_point start{Clock::duration{callStart.load()}};
                return Clock::now() - start >= milliseconds(60 + 20 * (round % 5));
            },
            seconds(1)));
        lib.closePort();
        const ScratchFile file(secret);
        EXPECT_FALSE(WaitFor([&] { return file.offset() != 0; }, milliseconds(300)))
            << "a read after the close took " << file.offset() << " bytes of the new file";
        stop = true;
        reader.join();
        const std::lock_guard lock(seenMutex);
        EXPECT_EQ(seen.find(secret), std::string::npos) << "read: " << seen;
    }
}

// The monitor's enable command, a drawer kick on another thread, and the job: none lands inside
// another's bytes (an "hdwr" job goes out in 256-byte pieces, and raster data may hold any byte).
TEST_F(SerialLine, NothingLandsInsideAJob) {
    prnsim::SerialPrinter printer(Printer(20000));  // about 3 s for the job
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    const Bytes job = Job(64 * 1024, 7);
    NativeLibrary* const port = &lib;
    BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
    ASSERT_TRUE(printer.waitForBytes(8 * 1024, seconds(5)));
    // A cover-open report makes the monitor send the enable again on its next pass; the
    // printer itself stays ready and goes on reading. The enable may only follow the job.
    ASSERT_TRUE(ReportCoverOpen(printer));
    printer.waitForSequence(kEnable, 2, milliseconds(1500));
    printer.sendToHost(kReadyBlock);
    ASSERT_TRUE(StatusBecomes(lib, kReady));
    BackgroundCall kick([port] { return port->openDrawer(2, 100, 200); });
    ASSERT_TRUE(writer.returnedWithin(seconds(15)));
    EXPECT_EQ(writer.result(), Size(job));
    ASSERT_TRUE(kick.returnedWithin(seconds(10)));
    EXPECT_TRUE(printer.waitForSequence(kKickPin2, 1, seconds(5)));
    EXPECT_TRUE(printer.waitForSequence(kEnable, 2, seconds(5)));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(5)))
        << "the job did not arrive in one piece";
    EXPECT_EQ(prnsim::countOccurrences(printer.received(), job), 1u);
}

// A line whose printer has stopped taking data: the output queue stays full. The write gives up
// after the no-progress allowance instead of draining for ever, drops what is still queued and
// reports what left the port; a close ends it at once. The close itself waits for the queue it
// would otherwise throw away, for the same allowance.
TEST_F(SerialLine, ADrainOnAStuckLineIsBounded) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600,none,8,1,none"), 0);
    ASSERT_TRUE(printer.setOutputStuck(512));
    NativeLibrary* const port = &lib;
    const Bytes job = Job(600, 1);
    const auto start = Clock::now();
    auto written =
        ReturnsWithin(seconds(9), [port, job] { return port->writeData(job, Size(job), 0); });
    if (!written) {
        printer.setOutputStuck(0);  // lets the write go
        FAIL() << "the write is still draining after 9 s";
    }
    EXPECT_EQ(*written, 600 - 512) << "the line holds 512 bytes that never left it";
    EXPECT_TRUE(About(MillisSince(start), 5000)) << MillisSince(start) << " ms";

    BackgroundCall again([port, job] { return port->writeData(job, Size(job), 0); });
    EXPECT_FALSE(again.returnedWithin(milliseconds(500)));
    const auto closing = Clock::now();
    NativeLibrary* const library = &lib;
    BackgroundCall close([library] { library->closePort(); });
    EXPECT_TRUE(again.returnedWithin(seconds(1)));
    EXPECT_TRUE(close.returnedWithin(seconds(9)));
    EXPECT_TRUE(About(MillisSince(closing), 5000)) << MillisSince(closing) << " ms";
    printer.setOutputStuck(0);
}

// The completion wait needs a monitor to see the printer's reply: without one it answers false
// at once instead of waiting for a release nobody may ever make.
TEST_F(SerialLine, CompletionWaitWithoutAMonitorAnswersAtOnce) {
    Reload();
    NativeLibrary& port = Library(kClass);
    NativeLibrary* const library = &port;
    auto before =
        ReturnsWithin(seconds(1), [library] { return library->waitForCompletePrinting(0); });
    EXPECT_TRUE(before.has_value()) << "before any open";
    if (!before) library->closePort();  // a release ends it
    EXPECT_FALSE(before.value_or(true));

    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ASSERT_EQ(port.openPort(printer.devicePath(), "9600"), 0);
    auto unclaimed =
        ReturnsWithin(seconds(1), [library] { return library->waitForCompletePrinting(0); });
    EXPECT_TRUE(unclaimed.has_value()) << "on an open port nobody claimed";
    if (!unclaimed) library->closePort();
    EXPECT_FALSE(unclaimed.value_or(true));
}

// A wait measured on the wall clock ends or stretches when NTP or an operator steps it. The
// completion wait sends its request again after 10 s, not when the clock jumps.
TEST_F(SerialLine, ClockStepsNeitherEndNorStretchAWait) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    printer.setSilent(true);
    NativeLibrary* const port = &lib;
    BackgroundCall waiting([port] { return port->waitForCompletePrinting(0); });
    ASSERT_TRUE(printer.waitForSequence(kRequest, 1, seconds(2)));
    const auto first = Clock::now();
    StepWallClock(3600 * 1000LL);
    EXPECT_FALSE(printer.waitForSequence(kRequest, 2, milliseconds(1500))) << "clock forward";
    StepWallClock(-2 * 3600 * 1000LL);
    EXPECT_FALSE(printer.waitForSequence(kRequest, 2, milliseconds(1500))) << "clock back";
    ResetWallClock();
    EXPECT_TRUE(printer.waitForSequence(kRequest, 2, seconds(12)));
    EXPECT_TRUE(About(MillisSince(first), 10000)) << MillisSince(first) << " ms";
    ClosePort();
    ASSERT_TRUE(waiting.returnedWithin(seconds(2)));
    EXPECT_FALSE(waiting.result());
}

// In impact mode the seven reply bytes alone read as paper end; after a completion wait the
// printer must still be ready and writable.
TEST_F(SerialLine, CompletionReplyIsNotAStatusBlock) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer, false);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(lib.waitForCompletePrinting(0));
        EXPECT_EQ(lib.getPrinterStatus(0), kReady);
        const Bytes line = {'o', 'k', '\n'};
        EXPECT_EQ(lib.writeData(line, 3, 0), 3);
    }
}

// An open on another thread replaces the port a completion wait is for; this open fails (the
// printer does not answer) and closes the port again. The wait, whose monitor is gone, ends with
// its port.
TEST_F(SerialLine, CompletionWaitEndsWithItsPort) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    printer.setSilent(true);
    NativeLibrary* const port = &lib;
    BackgroundCall waiting([port] { return port->waitForCompletePrinting(0); });
    ASSERT_TRUE(printer.waitForSequence(kRequest, 1, seconds(2)));
    EXPECT_EQ(lib.openPort(printer.devicePath(), "9600"), -1);  // and closed again
    const bool ended = waiting.returnedWithin(seconds(2));
    EXPECT_TRUE(ended) << "the wait goes on for a port that is closed";
    if (!ended) lib.closePort();
    ASSERT_TRUE(waiting.returnedWithin(seconds(3)));
    EXPECT_FALSE(waiting.result());
}

// The printer's cable is pulled (an adapter unplugged, the other end of the line gone): the
// descriptor is dead for good, and no answer can ever come on it. The status says offline, and a
// completion wait, already running or begun afterwards, answers false instead of waiting for a
// close that a service printing its next receipt may never make.
TEST_F(SerialLine, AGoneLineEndsTheCompletionWait) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    printer.setSilent(true);
    NativeLibrary* const port = &lib;
    BackgroundCall waiting([port] { return port->waitForCompletePrinting(0); });
    ASSERT_TRUE(printer.waitForSequence(kRequest, 1, seconds(2)));
    ASSERT_TRUE(printer.unplug());
    const bool ended = waiting.returnedWithin(seconds(2));
    EXPECT_TRUE(ended) << "the wait goes on for a line that is gone";
    EXPECT_TRUE(StatusBecomes(lib, kOffline));
    if (!ended) lib.closePort();
    ASSERT_TRUE(waiting.returnedWithin(seconds(3)));
    EXPECT_FALSE(waiting.result());
    if (!ended) return;
    BackgroundCall again([port] { return port->waitForCompletePrinting(0); });
    const bool againEnded = again.returnedWithin(seconds(1));
    EXPECT_TRUE(againEnded) << "a wait begun on a gone line goes on";
    if (!againEnded) lib.closePort();
    ASSERT_TRUE(again.returnedWithin(seconds(3)));
    EXPECT_FALSE(again.result());
}

// The completion wait raises the fast-poll flag: a monitor in the middle of its 500 ms idle
// interval polls at once instead of sleeping it out, so a printer that answers at once is heard
// within a fast poll and the 100 ms settle, at any phase of the interval.
TEST_F(SerialLine, TheCompletionWaitDoesNotSitOutAnIdleInterval) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    long slowest = 0;
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(milliseconds(97 * (i + 1) % 500));
        const auto start = Clock::now();
        EXPECT_TRUE(lib.waitForCompletePrinting(0));
        slowest = std::max(slowest, MillisSince(start));
    }
    EXPECT_LE(slowest, (100 + 2 * 50) * 14 / 10 + 60) << "the wait sat out an idle interval";
}

// A service that asks the printer itself during a claim (DLE EOT 1, then _readData) gets the
// answer: the monitor, which reads only once per idle interval, does not take it first.
TEST_F(SerialLine, AReaderDuringAClaimGetsThePrintersAnswers) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    const Bytes ask{0x10, 0x04, 0x01};
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(lib.writeData(ask, Size(ask), 0), Size(ask));
        std::vector<uint8_t> into(8);
        if (lib.readData(into, 8, 300) == 1) ++answered;
        std::this_thread::sleep_for(milliseconds(53 * i % 500));
    }
    EXPECT_GE(answered, 8) << "the monitor took the answers";
}

// A claim racing a close on another thread, and a completion wait on a third: the claim must not
// start a monitor on a port being closed, nor undo the release that ends the wait.
TEST_F(SerialLine, ClaimRacingACloseLeavesNothingAndEndsTheWait) {
    NativeLibrary* const port = &lib;
    for (int round = 0; round < Rounds(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        prnsim::SerialPrinter printer(Printer());
        ASSERT_TRUE(printer.ok() && printer.setDsr(true));
        TakeBaseline();
        OpenAndClaim(printer);
        printer.setSilent(true);  // the completion request stays unanswered
        BackgroundCall waiting([port] { return port->waitForCompletePrinting(0); });
        ASSERT_TRUE(printer.waitForSequence(kRequest, 1, seconds(2)));
        BackgroundCall closing([port] { port->closePort(); });
        // Anywhere in the close's release wait.
        ASSERT_FALSE(closing.returnedWithin(milliseconds(110 * (round % 10))));
        BackgroundCall claiming([port] { return port->claim(0, true); });
        ASSERT_TRUE(closing.returnedWithin(seconds(5)));
        ASSERT_TRUE(claiming.returnedWithin(seconds(5)));
        const bool ended = waiting.returnedWithin(seconds(3));
        EXPECT_TRUE(ended) << "the completion wait goes on after the close";
        if (!ended) lib.closePort();
        ASSERT_TRUE(waiting.returnedWithin(seconds(3)));
        // And one begun afterwards, on the closed port.
        BackgroundCall after([port] { return port->waitForCompletePrinting(0); });
        const bool answered = after.returnedWithin(seconds(1));
        EXPECT_TRUE(answered) << "a completion wait on the closed port does not return";
        if (!answered) lib.closePort();
        ASSERT_TRUE(after.returnedWithin(seconds(3)));
        // Whatever the claim answered, nothing watches a closed port.
        lib.closePort();
        ExpectNothingLeft();
    }
}

// A refusal left by an earlier claim (a cover-open report, a refused impact claim) must not
// make the next open's own status requests fail.
TEST_F(SerialLine, NoStaleRefusalAfterAClaim) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    // The monitor's last word is "cover open"; the cover is closed again while the printer says
    // nothing (not even to the enable the report brings, which the printer carries out once
    // its cover is closed), so nothing corrects it.
    auto leaveCoverOpenReport = [&] {
        printer.setCoverOpen(true);
        ASSERT_TRUE(StatusBecomes(lib, kCoverOpen));
        const size_t enables = printer.countReceived(kEnable);
        printer.setSilent(true);
        ASSERT_TRUE(printer.waitForSequence(kEnable, enables + 1, seconds(3)));
        printer.setCoverOpen(false);
        ASSERT_TRUE(printer.waitUntilPrinted(seconds(3)));
        printer.setSilent(false);
    };
    OpenAndClaim(printer);
    leaveCoverOpenReport();
    EXPECT_EQ(lib.openPort(printer.devicePath(), "9600"), 0) << "open over a claimed port";

    ASSERT_EQ(lib.claim(1000, true), 0);
    leaveCoverOpenReport();
    EXPECT_EQ(lib.claim(1000, false), 1);  // the stale report holds back the claim's own probe
    EXPECT_EQ(lib.openPort(printer.devicePath(), "9600"), 0) << "open after a refused claim";
}

// DSR drops while the printer's answer to the claim's enable is still waiting to be read: that
// "ready" is older than the drop. The status is offline until DSR returns.
TEST_F(SerialLine, ADsrDropIsNotUndoneByAnOlderReadyBlock) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    ASSERT_EQ(lib.claim(1000, true), 0);
    ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    ASSERT_TRUE(printer.setDsr(false));
    EXPECT_TRUE(StatusBecomes(lib, kOffline));
    EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kOffline; }, milliseconds(1500)))
        << "status " << lib.getPrinterStatus(0) << " while DSR is down";
    const Bytes line = {'x', '\n'};
    EXPECT_EQ(lib.writeData(line, 2, 0), kIoFail);
    ASSERT_TRUE(printer.setDsr(true));
    EXPECT_TRUE(StatusBecomes(lib, kReady));
}

// A closed port's drawer report says nothing about the drawer of the next printer opened.
TEST_F(SerialLine, NoDrawerReportAfterAClose) {
    prnsim::SerialPrinter printer(Printer());
    ASSERT_TRUE(printer.ok() && printer.setDsr(true));
    OpenAndClaim(printer);
    printer.setDrawerOpen(true);
    ASSERT_TRUE(WaitFor([&] { return lib.getCashDrawerStatus(0) == 1; }, seconds(3)));
    ClosePort();
    EXPECT_EQ(lib.getCashDrawerStatus(0), 0);
}

// The JVM unloads the library when the class loader that loaded it goes. A monitor still
// running then runs in unmapped code: the till's JVM dies.
TEST_F(SerialLine, UnloadWhileClaimedStopsTheMonitorFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            prnsim::SerialPrinter printer(Printer());
            NativeLibrary& port = Library(kClass);
            if (!printer.ok() || !printer.setDsr(true) || !port.ok()) std::_Exit(2);
            const int threads = ThreadCount();
            if (port.openPort(printer.devicePath(), "9600") != 0) std::_Exit(3);
            if (port.claim(1000, true) != 0) std::_Exit(4);
            if (!port.unload()) std::_Exit(5);
            // A monitor left behind runs into the unmapped code within its next pass.
            const bool gone = WaitFor([&] { return ThreadCount() == threads; }, seconds(2));
            std::_Exit(gone ? 0 : 6);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
