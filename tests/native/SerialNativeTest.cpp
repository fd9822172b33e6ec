// The serial deliverable driven through its exported natives, as the JVM drives it, against the
// virtual printer on a pty with its modem lines.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "NativeTestSupport.h"
#include "prnsim/SerialPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxSerial";
const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kKickPin2{0x1B, 0x70, 0x30, 0x32, 0x64};  // ESC p 0, 100 ms on, 200 ms off
constexpr int kReady = 0;
constexpr int kOffline = 8;
constexpr int kIoFail = -2;

Bytes Text(const std::string& text) {
    return {text.begin(), text.end()};
}
int Size(const Bytes& bytes) {
    return static_cast<int>(bytes.size());
}

prnsim::SerialOptions WithModem() {
    prnsim::SerialOptions options;
    options.modem = true;
    return options;
}

class SerialNative : public NativePortTest {
  protected:
    SerialNative() : NativePortTest(kClass) {}

    void SetUp() override {
        ASSERT_TRUE(printer.ok()) << printer.error();
        ASSERT_TRUE(printer.setDsr(true));
        TakeBaseline();
        ASSERT_TRUE(lib.ok()) << lib.error();
    }
    // A test that stopped half-way leaves no monitor for the next test in this process.
    void TearDown() override {
        if (HasFailure() && lib.ok()) ClosePort();
    }

    void OpenAndClaim() {
        ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    }
    bool StatusBecomes(int status) {
        return WaitFor([&] { return lib.getPrinterStatus(0) == status; }, seconds(3));
    }

    prnsim::SerialPrinter printer{WithModem()};
};

TEST_F(SerialNative, JobClaimStatusAndDrawer) {
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    const Bytes job = Text("serial receipt\n");
    EXPECT_EQ(lib.writeData(job, Size(job), 1000), Size(job));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));

    // A thermal claim gives the monitor its first pass, 500 ms, before it returns.
    auto start = Clock::now();
    EXPECT_EQ(lib.claim(1000, true), 0);
    EXPECT_TRUE(About(MillisSince(start), 500)) << MillisSince(start) << " ms";
    EXPECT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    EXPECT_TRUE(StatusBecomes(kReady));
    EXPECT_EQ(lib.getCashDrawerStatus(0), 0);
    printer.setDrawerOpen(true);
    EXPECT_TRUE(WaitFor([&] { return lib.getCashDrawerStatus(0) == 1; }, seconds(3)));
    printer.setDrawerOpen(false);
    EXPECT_TRUE(WaitFor([&] { return lib.getCashDrawerStatus(0) == 0; }, seconds(3)));

    // The kick goes out at once; the call then lets the drawer settle for 2 s.
    start = Clock::now();
    EXPECT_EQ(lib.openDrawer(2, 100, 200), 0);
    EXPECT_TRUE(About(MillisSince(start), 2000)) << MillisSince(start) << " ms";
    EXPECT_TRUE(printer.waitForSequence(kKickPin2, 1, seconds(3)));

    ClosePort();
    ExpectNothingLeft();
}

TEST_F(SerialNative, LibrarySeesDsrThroughTheModemShim) {
    // The dlopen'ed library's TIOCMGET reaches the shim linked into this executable: DSR
    // dropped is an offline printer, DSR back brings the ready status back.
    // The open drawer marks the claim's first status block as decoded: the DSR drop below comes
    // after it, not while the block still waits to be read.
    printer.setDrawerOpen(true);
    OpenAndClaim();
    ASSERT_TRUE(WaitFor([&] { return lib.getCashDrawerStatus(0) == 1; }, seconds(3)));
    ASSERT_TRUE(printer.setDsr(false));
    EXPECT_TRUE(StatusBecomes(kOffline));
    ASSERT_TRUE(printer.setDsr(true));
    EXPECT_TRUE(StatusBecomes(kReady));
    ClosePort();
    ExpectNothingLeft();
}

TEST_F(SerialNative, CompletionWaitOnOneThreadWhileOthersPoll) {
    OpenAndClaim();
    // The drawer may still read as an earlier printer's until the monitor's first block.
    ASSERT_TRUE(WaitFor(
        [&] { return lib.getPrinterStatus(0) == kReady && lib.getCashDrawerStatus(0) == 0; },
        seconds(3)));
    printer.setPrintSpeed(4000);
    std::string receipt;
    for (int line = 0; line < 40; ++line) receipt += "line " + std::to_string(line) + " ....\n";
    const Bytes job = Text(receipt);
    ASSERT_EQ(lib.writeData(job, Size(job), 1000), Size(job));

    NativeLibrary* const library = &lib;
    BackgroundCall printed([library] { return library->waitForCompletePrinting(10000); });
    // Two more Java threads read the state the monitor keeps while the wait runs.
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 2; ++i) {
        pollers.emplace_back([&] {
            while (!stop) {
                if (lib.getPrinterStatus(0) != kReady || lib.getCashDrawerStatus(0) != 0) {
                    ++unexpected;
                }
            }
        });
    }
    const bool returned = printed.returnedWithin(seconds(15));
    stop = true;
    for (std::thread& poller : pollers) poller.join();
    ASSERT_TRUE(returned) << "_WaitForCompletePrinting did not return";
    EXPECT_TRUE(printed.result());
    // Complete means printed, not only received.
    EXPECT_NE(printer.text().find(receipt), std::string::npos);
    EXPECT_EQ(unexpected, 0);
    ClosePort();
    ExpectNothingLeft();
}

TEST_F(SerialNative, NullsAndArrayLengthsAtTheJniBoundary) {
    EXPECT_EQ(lib.openPort(std::nullopt, "9600"), -1);
    EXPECT_EQ(lib.openPort(printer.devicePath(), std::nullopt), -1);
    EXPECT_EQ(lib.openPort(std::nullopt, std::nullopt), -1);
    EXPECT_EQ(lib.jni().outstandingStringChars(), 0);
    ASSERT_EQ(lib.openPort(printer.devicePath(), "9600"), 0);
    printer.clearRecord();

    JNIEnv* const env = lib.jni().env();
    const auto self = FakeJni::NewObject();
    EXPECT_EQ(lib.natives().writeData(env, self.get(), nullptr, 1, 0), kIoFail);
    EXPECT_EQ(lib.natives().writeData(env, self.get(), nullptr, 0, 0), 0);
    EXPECT_EQ(lib.natives().readData(env, self.get(), nullptr, 16, 0), 0);
    // A length beyond the array is refused before anything goes out.
    EXPECT_EQ(lib.writeData(Text("ab"), 3, 0), kIoFail);
    EXPECT_EQ(lib.writeData(Text("ab"), -1, 0), kIoFail);
    EXPECT_TRUE(printer.received().empty());

    // A read never takes more than the array holds, and loses nothing.
    printer.sendToHost(Bytes{1, 2, 3, 4, 5, 6});
    Bytes got;
    EXPECT_TRUE(WaitFor(
        [&] {
            Bytes four(4, 0xEE);
            const int n = lib.readData(four, 4, 0);
            EXPECT_LE(n, 4);
            if (n > 0) got.insert(got.end(), four.begin(), four.begin() + n);
            return got.size() >= 6;
        },
        seconds(3)));
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5, 6}));
    ClosePort();
    ExpectNothingLeft();
}

TEST_F(SerialNative, UnloadAfterUseLeavesNoThreadAndLoadsAgain) {
    OpenAndClaim();
    ClosePort();
    const std::string path = lib.path();
    EXPECT_TRUE(lib.unload());
    EXPECT_FALSE(NativeLibrary::Mapped(path)) << "still mapped after dlclose";
    ExpectNothingLeft();

    NativeLibrary& again = Library(kClass);
    ASSERT_TRUE(again.ok()) << again.error();
    printer.clearRecord();
    OpenAndClaim();
    ClosePort();
    ExpectNothingLeft();
}

}  // namespace
