// Instances of their own port (the port classes' newPort()), as a service that drives several
// printers through one library holds them: each port kept to its own printer, thousands of opens
// and closes leaving the process as it was, the limit of ports open at once, a handle given back
// acting as a closed port whatever port holds its slot now, and the trace naming each port. Each
// behaviour once, on every connection where it applies (ConnectionRig.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionRig.h"
#include "TraceSupport.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;
namespace fs = std::filesystem;

const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kKickHead{0x1B, 0x70};
constexpr int kReady = 0;
constexpr int kCoverOpen = 1;
constexpr int kIoFail = -2;
constexpr int kNoPortLeft = -7;
constexpr int kOwnPorts = 256;

// The sanitizers keep records of their own for every thread and allocation (shadow memory, a
// quarantine, thread histories): there the process's resident memory says nothing of the
// library's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryIsTheLibrarys = false;
#else
constexpr bool kResidentMemoryIsTheLibrarys = true;
#endif

int SlotOf(int64_t handle) {
    return static_cast<int>(handle & 0xFFFF);
}

class ManyPorts : public testing::TestWithParam<std::string> {
  protected:
    ManyPorts() : deliverable(DeliverableOf(GetParam())), lib(LibraryOf(deliverable)) {}

    void SetUp() override { ASSERT_TRUE(lib.ok()) << lib.error(); }
    // Every port the test made is closed before its printer goes.
    void TearDown() override {
        for (auto& port : ports_) Close(*port);
    }

    const std::string& connection() const { return GetParam(); }

    Rig& NewRig() {
        rigs_.push_back(std::make_unique<Rig>(connection()));
        EXPECT_TRUE(rigs_.back()->ok()) << rigs_.back()->error();
        return *rigs_.back();
    }
    // An instance of its own port, closed at the end of the test.
    PortInstance& NewPort() {
        ports_.push_back(std::make_unique<PortInstance>(lib));
        return *ports_.back();
    }

    // Opened and claimed as a thermal printer on rig: its monitor's enable carried out and the
    // status ready.
    void OpenAndClaim(PortInstance& port, Rig& rig) {
        ASSERT_EQ(rig.open(port), 0);
        ASSERT_EQ(port.claim(1000, true), 0);
        ASSERT_TRUE(rig.printer().waitForSequence(kEnable, 1, seconds(3)));
        ASSERT_TRUE(rig.printer().waitUntilPrinted(seconds(3)));
        ASSERT_TRUE(StatusBecomes(port, kReady, seconds(3))) << port.getPrinterStatus(0);
    }

    static bool StatusBecomes(PortInstance& port, int status, milliseconds timeout) {
        return WaitFor([&] { return port.getPrinterStatus(0) == status; }, timeout);
    }
    // _closePort, which must return within a few seconds.
    static void Close(PortInstance& port) {
        PortInstance* const p = &port;
        EXPECT_TRUE(ReturnsWithin(seconds(5), [p] { p->closePort(); }))
            << "_closePort did not return";
    }

    const Deliverable& deliverable;
    NativeLibrary& lib;

  private:
    std::vector<std::unique_ptr<Rig>> rigs_;  // outlive the ports
    std::vector<std::unique_ptr<PortInstance>> ports_;
};

std::string Name(const testing::TestParamInfo<std::string>& info) {
    return info.param;
}

const auto kEveryConnection = testing::Values("serial", "usb", "parallel", "net");

// ---- Two ports of one library ----

// Two ports on two printers: jobs written at once each land whole, once, on their own printer
// alone; a cover opened on one printer shows on that port only, while the other goes on
// printing; one port closed in the middle of the other's job neither waits for that job nor
// disturbs it.
using TwoPorts = ManyPorts;

TEST_P(TwoPorts, KeepToTheirOwnPrinters) {
    Rig& rigA = NewRig();
    Rig& rigB = NewRig();
    PortInstance& a = NewPort();
    PortInstance& b = NewPort();
    OpenAndClaim(a, rigA);
    OpenAndClaim(b, rigB);
    EXPECT_GT(a.handle(), 0);
    EXPECT_GT(b.handle(), 0);
    EXPECT_NE(SlotOf(a.handle()), SlotOf(b.handle()));

    const Bytes jobA = Lines(20000, 0);
    const Bytes jobB = Lines(20000, 500000);
    PortInstance* const pa = &a;
    PortInstance* const pb = &b;
    {
        BackgroundCall writeA([pa, jobA] { return pa->writeData(jobA, Size(jobA), 0); });
        BackgroundCall writeB([pb, jobB] { return pb->writeData(jobB, Size(jobB), 0); });
        ASSERT_TRUE(writeA.returnedWithin(seconds(10)));
        ASSERT_TRUE(writeB.returnedWithin(seconds(10)));
        EXPECT_EQ(writeA.result(), Size(jobA));
        EXPECT_EQ(writeB.result(), Size(jobB));
    }
    const Bytes onA = PrintDataOnceSettled(rigA.printer(), jobA.size());
    const Bytes onB = PrintDataOnceSettled(rigB.printer(), jobB.size());
    EXPECT_TRUE(onA == jobA) << onA.size() << " print data bytes on A";
    EXPECT_TRUE(onB == jobB) << onB.size() << " print data bytes on B";

    rigA.printer().setCoverOpen(true);
    EXPECT_TRUE(StatusBecomes(a, kCoverOpen, seconds(3))) << a.getPrinterStatus(0);
    EXPECT_FALSE(WaitFor([&] { return b.getPrinterStatus(0) != kReady; },
                         milliseconds(2 * deliverable.passMs)))
        << "B shows " << b.getPrinterStatus(0) << " for A's cover";
    const Bytes refused = Lines(300, 800000);
    const Bytes more = Lines(300, 900000);
    EXPECT_EQ(a.writeData(refused, Size(refused), 0), kIoFail);
    EXPECT_EQ(b.writeData(more, Size(more), 0), Size(more));
    EXPECT_TRUE(rigB.printer().waitForSequence(more, 1, seconds(3)));
    rigA.printer().setCoverOpen(false);
    EXPECT_TRUE(StatusBecomes(a, kReady, seconds(3))) << a.getPrinterStatus(0);
    EXPECT_EQ(rigA.printer().countReceived(refused) + rigB.printer().countReceived(refused), 0u);

    // A job on B that takes a few seconds at the printer's pace.
    const bool network = connection() == "net";
    rigB.printer().clearRecord();
    rigB.setPace(network ? 100000 : 40000);
    const Bytes slow = Lines(network ? 400 * 1024 : 80 * 1024, 1000000);
    BackgroundCall writeSlow([pb, slow] { return pb->writeData(slow, Size(slow), 0); });
    ASSERT_TRUE(rigB.printer().waitForBytes(8192, seconds(5)));
    const auto closing = Clock::now();
    Close(a);
    const long closeMs = MillisSince(closing);
    EXPECT_TRUE(About(closeMs, deliverable.releaseMs))
        << "A's close took " << closeMs << " ms: it waited for B's job";
    EXPECT_FALSE(writeSlow.returnedWithin(milliseconds(0)))
        << "B's job was over before A's close (" << closeMs << " ms)";
    EXPECT_EQ(a.handle(), -1);
    ASSERT_TRUE(writeSlow.returnedWithin(seconds(20)));
    EXPECT_EQ(writeSlow.result(), Size(slow));
    const Bytes slowOnB = PrintDataOnceSettled(rigB.printer(), slow.size());
    EXPECT_TRUE(slowOnB == slow) << slowOnB.size() << " of " << slow.size() << " bytes";
    EXPECT_EQ(b.getPrinterStatus(0), kReady);
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, TwoPorts, kEveryConnection, Name);

// ---- Lifetime ----

// How many open/close cycles a connection runs in the lifetime test, on each of kCyclers threads
// at once (each on a printer of its own), and how often one of them claims, starting a monitor.
// A network open and close take some 5 ms (the close waits for the printer to end its side); a
// parallel one 20 ms; a serial one half a second and a USB one 0.4 s (both wait for the
// printer's replies): those run fewer cycles.
constexpr int kCyclers = 4;

struct Cycles {
    int perThread;
    int claimEvery;
};

Cycles CyclesOf(const std::string& connection) {
    if (connection == "net") return {10000 / kCyclers, 500};
    if (connection == "parallel") return {100, 50};
    return {8, 4};  // serial, usb
}

// Opens and closes of ports of their own on several threads at once, each on a fresh instance as
// a service makes them, some claimed: every open succeeds with a handle that its close takes
// away, and the process is left with the threads, the descriptors and (within 2 MiB) the memory
// it had before.
using OwnPorts = ManyPorts;

TEST_P(OwnPorts, OpenedAndClosedThousandsOfTimesLeaveNothingBehind) {
    const Cycles cycles = CyclesOf(connection());
    std::vector<Rig*> rigs;
    for (int i = 0; i < kCyclers; ++i) rigs.push_back(&NewRig());
    // A first cycle, so that what the library sets up once for good is there at the baseline.
    {
        PortInstance warm(lib);
        ASSERT_EQ(rigs[0]->open(warm), 0);
        ASSERT_EQ(warm.claim(1000, true), 0);
        Close(warm);
    }
    for (Rig* rig : rigs) rig->printer().clearRecord();
    const int threads = ThreadCount();
    const int descriptors = OpenDescriptorCount();
    const long resident = ResidentKiB();

    std::atomic<int> failed{0};
    std::atomic<int> unclaimed{0};
    std::atomic<int> handles{0};  // an open instance without a handle, or a closed one with one
    NativeLibrary* const library = &lib;
    const auto cycle = [&, library](Rig* rig) {
        for (int i = 1; i <= cycles.perThread; ++i) {
            PortInstance port(*library);
            if (rig->open(port) != 0) {
                ++failed;
                continue;
            }
            if (port.handle() <= 0) ++handles;
            if (i % cycles.claimEvery == 0 && port.claim(1000, true) != 0) ++unclaimed;
            port.closePort();
            if (port.handle() != -1) ++handles;
            // The virtual printer's record of the probes would grow without end.
            if (i % 100 == 0) rig->printer().clearRecord();
        }
    };
    const auto start = Clock::now();
    {
        std::vector<std::thread> cyclers;
        for (Rig* rig : rigs) cyclers.emplace_back(cycle, rig);
        for (std::thread& t : cyclers) t.join();
    }
    std::printf("%d cycles on %s in %ld ms\n", cycles.perThread * kCyclers, connection().c_str(),
                MillisSince(start));
    EXPECT_EQ(failed, 0) << "opens that failed";
    EXPECT_EQ(unclaimed, 0) << "claims that failed";
    EXPECT_EQ(handles, 0) << "instances without a handle while open, or with one after the close";
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads; }, seconds(3)))
        << ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptorCount() == descriptors; }, seconds(3)))
        << OpenDescriptorCount() << " descriptors, " << descriptors << " before";
    if (kResidentMemoryIsTheLibrarys) {
        EXPECT_LT(ResidentKiB() - resident, 2048)
            << ResidentKiB() << " KiB resident, " << resident << " KiB before";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, OwnPorts, kEveryConnection, Name);

// 256 ports open at once, each on a printer of its own: the 257th open fails with -7 at once and
// tries nothing; once one port is closed, an open is given its slot. The limit is the library's
// table, the same on every connection: the network printers, quick to open, stand for all.
using TheLimit = ManyPorts;

TEST_P(TheLimit, Is256PortsOpenAtOnce) {
    std::vector<PortInstance*> open;
    for (int i = 0; i < kOwnPorts; ++i) {
        Rig& rig = NewRig();
        PortInstance& port = NewPort();
        ASSERT_EQ(rig.open(port), 0) << "port " << i;
        open.push_back(&port);
    }
    Rig& last = NewRig();
    PortInstance& extra = NewPort();
    EXPECT_EQ(last.open(extra), kNoPortLeft);
    EXPECT_EQ(extra.handle(), -1);
    EXPECT_EQ(last.network().connectionCount(), 0) << "the refused open connected";

    const int freed = SlotOf(open[100]->handle());
    Close(*open[100]);
    ASSERT_EQ(last.open(extra), 0);
    EXPECT_EQ(SlotOf(extra.handle()), freed);
    const Bytes job = Lines(500, 0);
    EXPECT_EQ(extra.writeData(job, Size(job), 0), Size(job));
    EXPECT_TRUE(last.printer().waitForSequence(job, 1, seconds(3)));
}

INSTANTIATE_TEST_SUITE_P(Network, TheLimit, testing::Values("net"), Name);

// ---- A handle given back ----

// An instance that kept the handle it held while open (as a copy of the field would) acts as a
// closed port, even once another port has been given the same slot: its calls answer as those of
// an instance never opened, none of its bytes reaches the other port's printer, the other
// printer's state does not show through it, and its close leaves the other port open.
using AHandleGivenBack = ManyPorts;

TEST_P(AHandleGivenBack, ActsAsAClosedPort) {
    Rig& first = NewRig();
    Rig& second = NewRig();
    PortInstance& old = NewPort();
    ASSERT_EQ(first.open(old), 0);
    const int64_t stale = old.handle();
    ASSERT_GT(stale, 0);
    Close(old);
    ASSERT_EQ(old.handle(), -1);
    // An open with no port name takes the next slot in turn and gives it back at once: after
    // all the others, the next open is given the old port's slot.
    PortInstance& nameless = NewPort();
    for (int i = 0; i < kOwnPorts - 1; ++i) {
        EXPECT_EQ(nameless.openPort(std::nullopt, std::nullopt), -1);
    }
    PortInstance& now = NewPort();
    OpenAndClaim(now, second);
    EXPECT_EQ(SlotOf(now.handle()), SlotOf(stale)) << "the new port has another slot";
    EXPECT_NE(now.handle(), stale);

    PortInstance kept(lib, stale);
    PortInstance never(lib);
    const Bytes job = Lines(2000, 0);
    EXPECT_EQ(kept.writeData(job, Size(job), 0), never.writeData(job, Size(job), 0));
    std::vector<uint8_t> keptRead(64);
    std::vector<uint8_t> neverRead(64);
    EXPECT_EQ(kept.readData(keptRead, 64, 0), never.readData(neverRead, 64, 0));
    EXPECT_EQ(kept.getCashDrawerStatus(0), never.getCashDrawerStatus(0));
    EXPECT_EQ(kept.claim(100, true), never.claim(100, true));
    EXPECT_EQ(kept.openDrawer(2, 100, 200), never.openDrawer(2, 100, 200));
    PortInstance* const k = &kept;
    PortInstance* const n = &never;
    const auto keptDone = ReturnsWithin(seconds(5), [k] { return k->waitForCompletePrinting(0); });
    const auto neverDone = ReturnsWithin(seconds(5), [n] { return n->waitForCompletePrinting(0); });
    ASSERT_TRUE(keptDone && neverDone) << "a completion wait on a closed port goes on";
    EXPECT_EQ(*keptDone, *neverDone);

    second.printer().setCoverOpen(true);
    ASSERT_TRUE(StatusBecomes(now, kCoverOpen, seconds(3)));
    EXPECT_EQ(kept.getPrinterStatus(0), never.getPrinterStatus(0));
    second.printer().setCoverOpen(false);
    ASSERT_TRUE(StatusBecomes(now, kReady, seconds(3)));

    const int64_t handle = now.handle();
    Close(kept);
    EXPECT_EQ(now.handle(), handle);
    const Bytes mark = Lines(500, 5000);
    EXPECT_EQ(now.writeData(mark, Size(mark), 0), Size(mark));
    EXPECT_TRUE(second.printer().waitForSequence(mark, 1, seconds(3)));
    EXPECT_EQ(second.printer().countReceived(job), 0u) << "the old handle's job reached it";
    EXPECT_EQ(second.printer().countReceived(kKickHead), 0u) << "the old handle's kick reached it";
    EXPECT_EQ(first.printer().countReceived(job), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, AHandleGivenBack, kEveryConnection, Name);

// ---- The trace ----

// A copy of the connection's library loaded with PRN_TRACE set, as a JVM started with it loads
// it (the process's own copy has read the variable already), and unloaded at the end.
class TracedCopy {
  public:
    explicit TracedCopy(const Deliverable& d) {
        char dir[] = "/tmp/prn-ports-trace-XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        trace = dir_ + "/trace";
        const std::string copy = dir_ + "/" + fs::path(LibraryPathOf(d)).filename().string();
        std::error_code error;
        fs::copy_file(LibraryPathOf(d), copy, error);
        setenv("PRN_TRACE", trace.c_str(), 1);
        if (!error && !lib.load(copy, d.javaClass)) ADD_FAILURE() << lib.error();
        unsetenv("PRN_TRACE");
    }
    ~TracedCopy() {
        lib.unload();
        std::error_code error;
        fs::remove_all(dir_, error);
    }
    TracedCopy(const TracedCopy&) = delete;
    TracedCopy& operator=(const TracedCopy&) = delete;

    NativeLibrary lib;
    std::string trace;

  private:
    std::string dir_;
};

// The name a library gives itself in the trace.
std::string TraceName(const std::string& connection) {
    return connection == "net" ? "ethernet" : connection;
}

// A port of its own, then the shared port, each opened, written to and closed on one printer:
// every line up to the own port's close names it, <library>#<slot>; every line after it names
// the library alone, as the shared port's always have.
using TheTrace = ManyPorts;

TEST_P(TheTrace, NamesEachPort) {
    Rig& rig = NewRig();
    TracedCopy traced(deliverable);
    ASSERT_TRUE(traced.lib.ok());
    PortInstance own(traced.lib);
    ASSERT_EQ(rig.open(own), 0);
    const std::string ownName =
        TraceName(connection()) + "#" + std::to_string(SlotOf(own.handle()));
    const Bytes ownJob = Lines(300, 0);
    const Bytes sharedJob = Lines(300, 1000);
    EXPECT_EQ(own.writeData(ownJob, Size(ownJob), 0), Size(ownJob));
    Close(own);
    ASSERT_EQ(rig.open(traced.lib), 0);
    EXPECT_EQ(traced.lib.writeData(sharedJob, Size(sharedJob), 0), Size(sharedJob));
    traced.lib.closePort();

    const std::vector<TraceLine> lines = ReadTrace(traced.trace);
    std::string whole;
    for (const TraceLine& l : lines) whole += l.text + "\n";
    SCOPED_TRACE("the trace:\n" + whole);
    // The own port's lines come first, its close's own traffic after its close line included.
    size_t shared = 0;
    while (shared < lines.size() && lines[shared].library == ownName) ++shared;
    int ownPrints = 0;
    int sharedPrints = 0;
    int closes[2] = {0, 0};
    for (size_t i = 0; i < lines.size(); ++i) {
        const bool ownLine = i < shared;
        const TraceLine& l = lines[i];
        EXPECT_EQ(l.library, ownLine ? ownName : TraceName(connection())) << l.text;
        if (l.print) ++(ownLine ? ownPrints : sharedPrints);
        if (l.what == "close") ++closes[ownLine ? 0 : 1];
        if (l.what == "open") {
            EXPECT_NE(l.text.find(" -> 0"), std::string::npos) << l.text;
        }
    }
    EXPECT_EQ(closes[0], 1);
    EXPECT_EQ(closes[1], 1);
    EXPECT_EQ(ownPrints, 1);
    EXPECT_EQ(sharedPrints, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryConnection, TheTrace, kEveryConnection, Name);

}  // namespace
