// What the four libraries promise a service, each behaviour written once and run on every
// connection where it applies (ConnectionRig.h): the serial line, the USB printer node, the
// parallel port and the network printer, all through the modem shim linked into this executable
// and the natives as the JVM calls them.
//
// Jobs are numbered lines, so a byte sent twice or a gap shows wherever it lands; what a printer
// received, its print data alone, is compared with the first `result` bytes of the job.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ConnectionRig.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kRequestHead{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};  // GS ( H fn 48
const Bytes kKickHead{0x1B, 0x70};                                   // ESC p
constexpr int kReady = 0;
constexpr int kCoverOpen = 1;
constexpr int kPaperEnd = 2;
constexpr int kOffline = 8;
constexpr int kNearEnd = 16;
constexpr int kIoFail = -2;

// ---- The cases ----

struct Setup {
    std::string connection;
    bool thermal = true;
};

void PrintTo(const Setup& setup, std::ostream* os) {
    *os << setup.connection << (setup.thermal ? ", thermal" : ", impact");
}

std::string Name(const testing::TestParamInfo<Setup>& info) {
    return info.param.connection + (info.param.thermal ? "_thermal" : "_impact");
}

class EveryConnection : public testing::TestWithParam<Setup> {
  protected:
    EveryConnection()
        : deliverable(DeliverableOf(GetParam().connection)),
          lib(LibraryOf(deliverable)),
          rig(GetParam().connection) {}

    void SetUp() override {
        ASSERT_TRUE(lib.ok()) << lib.error();
        ASSERT_TRUE(rig.ok()) << rig.error();
    }
    void TearDown() override {
        if (!lib.ok()) return;
        NativeLibrary* const port = &lib;
        EXPECT_TRUE(ReturnsWithin(seconds(10), [port] { port->closePort(); }))
            << "_closePort did not return";
    }

    bool thermal() const { return GetParam().thermal; }
    const std::string& connection() const { return GetParam().connection; }
    prnsim::VirtualPrinter& printer() { return rig.printer(); }

    // Opened and claimed; with a monitor, its enable carried out and the status ready.
    void OpenAndClaim() {
        ASSERT_EQ(rig.open(lib), 0);
        ASSERT_EQ(lib.claim(1000, thermal()), 0);
        if (!thermal() && connection() == "parallel") return;  // no monitor
        ASSERT_TRUE(printer().waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(printer().waitUntilPrinted(seconds(3)));
        ASSERT_TRUE(StatusBecomes(kReady, seconds(3))) << lib.getPrinterStatus(0);
    }
    // The time a change of the printer's state takes to show: one pass of the monitor, with
    // the usual tolerance.
    long OnePassMs() const { return deliverable.passMs * 15 / 10 + 150; }

    bool StatusBecomes(int status, milliseconds timeout) {
        return WaitFor([&] { return lib.getPrinterStatus(0) == status; }, timeout);
    }
    // How long until the status reads `status`, or -1 when it does not within the timeout.
    long MillisUntilStatus(int status, milliseconds timeout) {
        const auto start = Clock::now();
        return StatusBecomes(status, timeout) ? MillisSince(start) : -1;
    }

    // The print data the printer has received, once it has settled (see ConnectionRig.h).
    Bytes PrintDataOnceSettled(size_t count) {
        return prntest::PrintDataOnceSettled(printer(), count);
    }

    int Write(const Bytes& job) { return lib.writeData(job, Size(job), 0); }

    const Deliverable& deliverable;
    NativeLibrary& lib;
    Rig rig;
};

std::vector<Setup> Thermal(std::initializer_list<const char*> connections) {
    std::vector<Setup> setups;
    for (const char* c : connections) setups.push_back({c, true});
    return setups;
}
// Every claim with a monitor: thermal everywhere, impact but on the parallel port.
std::vector<Setup> EveryMonitoredClaim() {
    std::vector<Setup> setups = Thermal({"serial", "usb", "parallel", "net"});
    for (const char* c : {"serial", "usb", "net"}) setups.push_back({c, false});
    return setups;
}

// ---- The count is what the printer gets ----

// The printer stops taking data in the middle of a job for longer than the no-progress allowance
// (5 s): the write gives up and reports the bytes that went out, which the printer gets once it
// takes data again: never -2 after bytes went out, never a byte more or less. The network
// printer stalls with its window closed and keeps the connection; in impact mode the library
// tries a second time with only what the first did not send, so the job arrives whole, once.
using APrinterThatStopsTakingData = EveryConnection;

TEST_P(APrinterThatStopsTakingData, GetsExactlyTheCountReported) {
    OpenAndClaim();
    const bool network = connection() == "net";
    // More than the line and the printer's window hold.
    const Bytes job = Lines(network ? 1 << 20 : 200 * 1024, 0);
    NativeLibrary* const port = &lib;
    if (network) {
        rig.network().setPace(200000);  // a buffer of normal size, read at a printer's pace
    } else {
        rig.device().stopAfter(30000);  // until setBusy(false)
    }
    BackgroundCall writer([port, job] { return port->writeData(job, Size(job), 0); });
    if (network) {
        ASSERT_TRUE(printer().waitForBytes(30000, seconds(5)));
        rig.network().stallFor(seconds(7));
        rig.network().setPace(0);  // once the stall is over
    }
    ASSERT_TRUE(writer.returnedWithin(seconds(20))) << "the write did not give up";
    const int result = writer.result();
    if (!network) rig.device().setBusy(false);
    if (network && !thermal()) {
        EXPECT_EQ(result, Size(job)) << "the second try did not send the rest";
    } else {
        EXPECT_GT(result, 0) << "bytes went out";
        EXPECT_LT(result, Size(job)) << "the printer took all of it";
    }
    const Bytes data = PrintDataOnceSettled(static_cast<size_t>(std::max(result, 0)));
    EXPECT_TRUE(data == Prefix(job, result))
        << result << " bytes reported, " << data.size() << " printed data bytes arrived";
    if (network) {
        EXPECT_EQ(rig.network().connectionCount(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, APrinterThatStopsTakingData,
                         testing::Values(Setup{"serial"}, Setup{"usb"}, Setup{"parallel"},
                                         Setup{"net"}, Setup{"net", false}),
                         Name);

// Paper end or cover open in the middle of a job, the printer still taking data at its pace:
// whatever the write reports is what the printer has, to the byte, once the fault is cleared;
// the rest written afterwards completes the job exactly once. The network printer keeps its one
// connection.
using AFaultInTheMiddleOfAJob = EveryConnection;

TEST_P(AFaultInTheMiddleOfAJob, ReportsWhatThePrinterGets) {
    OpenAndClaim();
    const bool network = connection() == "net";
    rig.setPace(network ? 200000 : 80000);
    int first = 0;
    for (const prnsim::Fault fault : {prnsim::Fault::PaperEnd, prnsim::Fault::CoverOpen}) {
        const bool paper = fault == prnsim::Fault::PaperEnd;
        SCOPED_TRACE(paper ? "paper end" : "cover open");
        printer().clearRecord();
        const Bytes job = Lines(network ? 400 * 1024 : 200 * 1024, first);
        first += 100000;
        printer().faultAfter(network ? 40000 : 20000, fault);
        const int result = Write(job);
        EXPECT_TRUE(StatusBecomes(paper ? kPaperEnd : kCoverOpen, seconds(5)));
        EXPECT_NE(result, kIoFail) << "bytes went out before the fault";
        if (paper) {
            printer().setPaper(prnsim::Paper::Ok);
        } else {
            printer().setCoverOpen(false);
        }
        ASSERT_TRUE(StatusBecomes(kReady, seconds(5)));
        Bytes data = PrintDataOnceSettled(static_cast<size_t>(std::max(result, 0)));
        EXPECT_TRUE(data == Prefix(job, result))
            << result << " bytes reported, " << data.size() << " printed data bytes arrived";
        if (result > 0 && result < Size(job)) {
            const Bytes rest(job.begin() + result, job.end());
            EXPECT_EQ(Write(rest), Size(rest));
            data = PrintDataOnceSettled(job.size());
            EXPECT_TRUE(data == job) << data.size() << " of " << job.size() << " bytes";
        }
    }
    if (network) {
        EXPECT_EQ(rig.network().connectionCount(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, AFaultInTheMiddleOfAJob,
                         testing::ValuesIn(EveryMonitoredClaim()), Name);

// ---- The drawer kick ----

// A kick refused because the printer cannot act on it (cover open, paper out) fails at once,
// without the 2 s pulse wait, and nothing reaches the printer; a pin other than 2 or 5 is
// refused with 1; a kick that goes out returns 0 and pulses once.
using ADrawerKick = EveryConnection;

TEST_P(ADrawerKick, FailsAtOnceWhileThePrinterCannotPrint) {
    OpenAndClaim();
    EXPECT_EQ(lib.openDrawer(3, 100, 200), 1);
    for (const bool cover : {true, false}) {
        SCOPED_TRACE(cover ? "cover open" : "paper end");
        if (cover) {
            printer().setCoverOpen(true);
        } else {
            printer().setPaper(prnsim::Paper::End);
        }
        ASSERT_TRUE(StatusBecomes(cover ? kCoverOpen : kPaperEnd, seconds(3)));
        const auto start = Clock::now();
        EXPECT_EQ(lib.openDrawer(2, 100, 200), kIoFail);
        EXPECT_LT(MillisSince(start), 500) << "the refused kick waited for its pulse";
        if (cover) {
            printer().setCoverOpen(false);
        } else {
            printer().setPaper(prnsim::Paper::Ok);
        }
        ASSERT_TRUE(StatusBecomes(kReady, seconds(3)));
    }
    EXPECT_EQ(printer().countReceived(kKickHead), 0u) << "a refused kick reached the printer";
    EXPECT_TRUE(printer().pulses().empty());
    EXPECT_EQ(lib.openDrawer(2, 100, 200), 0);
    EXPECT_TRUE(WaitFor([&] { return printer().pulses().size() == 1; }, seconds(3)));
    EXPECT_EQ(printer().countReceived(kKickHead), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, ADrawerKick,
                         testing::ValuesIn(Thermal({"serial", "usb", "parallel", "net"})), Name);

// ---- The library's own commands go out whole, once ----

// A line with room for one byte when the claim's monitor enables automatic status (GS a 255):
// one byte goes, the line takes nothing more, then takes data again. The rest of that command
// goes before anything else, once: the printer gets 1D 61 FF exactly once, never the command's
// start twice or a job inside it, and the job written next arrives intact.
using AStatusEnable = EveryConnection;

TEST_P(AStatusEnable, GoesOutWholeAndOnceOnALineShortOfRoom) {
    ASSERT_EQ(rig.open(lib), 0);
    ASSERT_TRUE(printer().waitUntilPrinted(seconds(3)));
    const size_t before = printer().received().size();
    ASSERT_TRUE(rig.device().setRoom(1));
    ASSERT_EQ(lib.claim(1000, true), 0);
    ASSERT_TRUE(WaitFor([&] { return printer().received().size() > before; }, seconds(3)))
        << "the monitor sent nothing";
    // Passes of the monitor go by while the line takes nothing.
    EXPECT_FALSE(WaitFor([&] { return printer().received().size() > before + 1; },
                         milliseconds(2 * deliverable.passMs + 100)));
    ASSERT_TRUE(rig.device().setRoom(std::nullopt));
    const Bytes job = Lines(2000, 0);
    EXPECT_EQ(Write(job), Size(job));
    EXPECT_TRUE(printer().waitForSequence(job, 1, seconds(5)));
    // And a pass or two later, nothing was sent again.
    EXPECT_TRUE(StatusBecomes(kReady, seconds(3)));
    EXPECT_FALSE(printer().waitForSequence(kEnable, 2, milliseconds(2 * deliverable.passMs)));
    const Bytes received = printer().received();
    // What came before the job: the open's status requests, and the enable.
    const std::string head = prnsim::toHex(
        Bytes(received.begin(), received.begin() + std::min<long>(Size(received), 16)));
    EXPECT_EQ(printer().countReceived(kEnable), 1u) << head;
    EXPECT_EQ(printer().countReceived({0x1D, 0x1D}), 0u) << "the command's start went twice";
    EXPECT_TRUE(PrintData(received) == job) << head;
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, AStatusEnable,
                         testing::ValuesIn(Thermal({"serial", "usb", "parallel"})), Name);

// ---- Each completion wait is answered by its own request's reply ----

// A printer that prints slowly answers a completion request only once the data before it has
// printed. The first wait ends (false) on cover open before the answer; the cover closes and the
// printer goes on, and its late answer to that first request comes while the second wait, for
// a second job, is in progress. It must not end that wait: when the second wait says printed,
// the second job's last line has been printed.
using ACompletionWait = EveryConnection;

TEST_P(ACompletionWait, IsNotEndedByTheReplyToAnEarlierWait) {
    OpenAndClaim();
    printer().setPrintSpeed(2000);
    const Bytes first = Lines(3000, 0);
    const Bytes second = Lines(3000, 1000);
    ASSERT_EQ(Write(first), Size(first));
    NativeLibrary* const port = &lib;
    BackgroundCall firstWait([port] { return port->waitForCompletePrinting(0); });
    ASSERT_TRUE(printer().waitForSequence(kRequestHead, 1, seconds(3)));
    printer().setCoverOpen(true);
    ASSERT_TRUE(firstWait.returnedWithin(seconds(3))) << "the wait goes on with the cover open";
    EXPECT_FALSE(firstWait.result());
    printer().setCoverOpen(false);
    ASSERT_TRUE(StatusBecomes(kReady, seconds(3)));

    ASSERT_EQ(Write(second), Size(second));
    BackgroundCall secondWait([port] { return port->waitForCompletePrinting(0); });
    ASSERT_TRUE(secondWait.returnedWithin(seconds(15)));
    if (secondWait.result()) {
        EXPECT_NE(printer().text().find(Tail(second)), std::string::npos)
            << "the wait said printed before the second job was";
    }
    EXPECT_TRUE(secondWait.result()) << "the printer's answer to the second request was missed";
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, ACompletionWait,
                         testing::ValuesIn(Thermal({"serial", "usb", "parallel", "net"})), Name);

// ---- Small network writes do not wait for the printer's ACKs ----

// A printer that holds back its ACKs (some 40 ms, as embedded stacks do): 40 receipts' worth of
// small writes cost what they cost on any printer, far less than an ACK delay each, and arrive
// in order.
using SmallWrites = EveryConnection;

TEST_P(SmallWrites, DoNotWaitForDelayedAcks) {
    rig.network().setDelayedAcks(true);
    OpenAndClaim();
    std::vector<long> took;
    Bytes all;
    for (int i = 0; i < 40; ++i) {
        const Bytes piece = Lines(120, i * 3);
        const auto start = Clock::now();
        EXPECT_EQ(Write(piece), Size(piece));
        took.push_back(MillisSince(start));
        all.insert(all.end(), piece.begin(), piece.end());
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[took.size() / 2], 30)
        << "median of 40 writes of 120 bytes, slowest " << took.back() << " ms";
    EXPECT_TRUE(PrintDataOnceSettled(all.size()) == all);
}

INSTANTIATE_TEST_SUITE_P(Network, SmallWrites, testing::Values(Setup{"net"}), Name);

// ---- The status of a printer that follows the public command reference ----

// Each state such a printer reports in its status block shows within about one pass of the
// monitor, refuses writes while the printer cannot print, and gives way to ready when it ends.
struct Condition {
    const char* name;
    std::function<void(prnsim::VirtualPrinter&, bool on)> set;
    int status;
    bool refusesWrites;
};

const std::vector<Condition>& Conditions() {
    using prnsim::PrinterError;
    static const auto error = [](PrinterError e) {
        return [e](prnsim::VirtualPrinter& p, bool on) { p.setError(on ? e : PrinterError::None); };
    };
    static const std::vector<Condition> conditions = {
        {"near end",
         [](prnsim::VirtualPrinter& p, bool on) {
             p.setPaper(on ? prnsim::Paper::NearEnd : prnsim::Paper::Ok);
         },
         kNearEnd, false},
        {"paper end",
         [](prnsim::VirtualPrinter& p, bool on) {
             p.setPaper(on ? prnsim::Paper::End : prnsim::Paper::Ok);
         },
         kPaperEnd, true},
        {"cover open", [](prnsim::VirtualPrinter& p, bool on) { p.setCoverOpen(on); }, kCoverOpen,
         true},
        {"recoverable error", error(PrinterError::Recoverable), kOffline, true},
        {"autocutter error", error(PrinterError::Autocutter), kOffline, true},
        {"unrecoverable error", error(PrinterError::Unrecoverable), kOffline, true},
        {"auto-recoverable error", error(PrinterError::AutoRecoverable), kOffline, true},
        {"waiting for online recovery",
         [](prnsim::VirtualPrinter& p, bool on) { p.setWaitingForRecovery(on); }, kOffline, true},
    };
    return conditions;
}

using TheStatus = EveryConnection;

TEST_P(TheStatus, FollowsAReferencePrinter) {
    OpenAndClaim();
    int first = 0;
    for (const Condition& c : Conditions()) {
        SCOPED_TRACE(c.name);
        c.set(printer(), true);
        const long shown = MillisUntilStatus(c.status, seconds(3));
        EXPECT_GE(shown, 0) << "status " << lib.getPrinterStatus(0) << ", not " << c.status;
        EXPECT_LE(shown, OnePassMs());
        const Bytes job = Lines(300, first += 1000);
        if (c.refusesWrites) {
            EXPECT_EQ(Write(job), kIoFail) << "a write accepted while the printer cannot print";
        } else {
            EXPECT_EQ(Write(job), Size(job));
        }
        c.set(printer(), false);
        const long ready = MillisUntilStatus(kReady, seconds(3));
        EXPECT_GE(ready, 0) << "status " << lib.getPrinterStatus(0) << " after it ended";
        EXPECT_LE(ready, OnePassMs());
        const Bytes after = Lines(300, first += 1000);
        EXPECT_EQ(Write(after), Size(after));
        EXPECT_TRUE(printer().waitForSequence(after, 1, seconds(3)));
        EXPECT_EQ(printer().countReceived(job), c.refusesWrites ? 0u : 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, TheStatus, testing::ValuesIn(EveryMonitoredClaim()),
                         Name);

// ---- A status block split over two reads ----

// The printer's report comes in two pieces, the second after a pass of the monitor has read the
// first (3C | 00 00 00, 3C 00 | 00 00, 3C 00 00 | 00): nothing is made of the first piece
// alone, and the block is decoded whole once the rest comes (cover open; the monitor then asks
// the printer again and its own report makes the status ready).
using AStatusBlock = EveryConnection;

TEST_P(AStatusBlock, SplitOverTwoReadsIsDecodedWhole) {
    OpenAndClaim();
    const Bytes block{0x3C, 0x00, 0x00, 0x00};
    for (const long split : {1, 2, 3}) {
        SCOPED_TRACE("split after " + std::to_string(split));
        printer().sendToHost(Bytes(block.begin(), block.begin() + split));
        EXPECT_FALSE(WaitFor([&] { return lib.getPrinterStatus(0) != kReady; },
                             milliseconds(2 * deliverable.passMs)))
            << "status " << lib.getPrinterStatus(0) << " from part of a block";
        printer().sendToHost(Bytes(block.begin() + split, block.end()));
        const long shown = MillisUntilStatus(kCoverOpen, seconds(3));
        EXPECT_GE(shown, 0) << "the block was not decoded";
        EXPECT_LE(shown, OnePassMs());
        ASSERT_TRUE(StatusBecomes(kReady, seconds(5)));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, AStatusBlock,
                         testing::ValuesIn(Thermal({"serial", "usb", "parallel", "net"})), Name);

// ---- A printer that is gone ----

// The network printer closes its end and refuses new connections (switched off): the status is
// offline within about a second and writes fail. Once it accepts again, the next write
// reconnects and goes out, and the status follows the printer again.
using ANetworkPrinterSwitchedOff = EveryConnection;

TEST_P(ANetworkPrinterSwitchedOff, IsOfflineUntilItAcceptsAgain) {
    OpenAndClaim();
    rig.network().setMode(prnsim::TcpMode::Refuse);
    rig.network().drop();
    const long offline = MillisUntilStatus(kOffline, seconds(4));
    EXPECT_GE(offline, 0) << "status " << lib.getPrinterStatus(0) << " with the printer gone";
    EXPECT_LE(offline, 1000 * 14 / 10 + 150);
    const Bytes lost = Lines(500, 0);
    EXPECT_EQ(Write(lost), kIoFail);

    rig.network().setMode(prnsim::TcpMode::Normal);
    const Bytes job = Lines(500, 1000);
    EXPECT_EQ(Write(job), Size(job));
    EXPECT_TRUE(WaitFor([&] { return printer().countReceivedOn(1, job) == 1; }, seconds(3)));
    EXPECT_EQ(printer().countReceived(lost), 0u);
    EXPECT_TRUE(StatusBecomes(kReady, seconds(3))) << lib.getPrinterStatus(0);
    printer().setCoverOpen(true);
    EXPECT_TRUE(StatusBecomes(kCoverOpen, seconds(3))) << lib.getPrinterStatus(0);
    printer().setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(kReady, seconds(3))) << lib.getPrinterStatus(0);
}

INSTANTIATE_TEST_SUITE_P(Network, ANetworkPrinterSwitchedOff,
                         testing::Values(Setup{"net"}, Setup{"net", false}), Name);

// A completion wait in progress when the library finds the printer gone for good (the network
// connection lost with none in its place; a serial line that hangs up while its DSR is low) ends,
// false, within about a second: the answer can never come.
using ACompletionWaitOnAGonePrinter = EveryConnection;

TEST_P(ACompletionWaitOnAGonePrinter, EndsSoon) {
    OpenAndClaim();
    printer().setPrintSpeed(500);  // the job takes some 8 s to print
    const Bytes job = Lines(4000, 0);
    ASSERT_EQ(Write(job), Size(job));
    NativeLibrary* const port = &lib;
    BackgroundCall wait([port] { return port->waitForCompletePrinting(0); });
    ASSERT_FALSE(wait.returnedWithin(milliseconds(500))) << "the wait ended before";
    if (connection() == "net") {
        rig.network().setMode(prnsim::TcpMode::Refuse);
        rig.network().drop();
    } else {
        ASSERT_TRUE(rig.device().setDsr(false));
        ASSERT_TRUE(StatusBecomes(kOffline, seconds(3)));
        ASSERT_TRUE(rig.device().unplug());
    }
    const auto gone = Clock::now();
    const bool returned = wait.returnedWithin(seconds(4));
    const long tookMs = MillisSince(gone);
    EXPECT_TRUE(returned) << "the completion wait goes on " << tookMs << " ms later";
    if (returned) {
        EXPECT_LE(tookMs, 1000 * 14 / 10 + 150);
        EXPECT_FALSE(wait.result()) << "completed on a printer that is gone";
    } else {
        lib.closePort();  // ends the wait
        EXPECT_TRUE(wait.returnedWithin(seconds(5)));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, ACompletionWaitOnAGonePrinter,
                         testing::ValuesIn(Thermal({"serial", "net"})), Name);

}  // namespace
