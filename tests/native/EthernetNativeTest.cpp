// The network deliverable driven through its exported natives, as the JVM drives it, against the
// virtual printer on a loopback socket.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "NativeTestSupport.h"
#include "prnsim/TcpPrinter.h"

namespace {

using namespace prntest;
using prnsim::Bytes;
using std::chrono::seconds;

constexpr char kClass[] = "JNativeCommonPort4LinuxEthernet";
const Bytes kEnable{0x1D, 0x61, 0xFF};
const Bytes kKickPin2{0x1B, 0x70, 0x30, 0x32, 0x64};  // ESC p 0, 100 ms on, 200 ms off
constexpr int kReady = 0;

Bytes Text(const std::string& text) {
    return {text.begin(), text.end()};
}
int Size(const Bytes& bytes) {
    return static_cast<int>(bytes.size());
}

class EthernetNative : public NativePortTest {
  protected:
    EthernetNative() : NativePortTest(kClass) {}

    void SetUp() override {
        ASSERT_TRUE(printer.ok()) << printer.error();
        TakeBaseline();
        ASSERT_TRUE(lib.ok()) << lib.error();
    }
    // A test that stopped half-way leaves no monitor for the next test in this process.
    void TearDown() override {
        if (HasFailure() && lib.ok()) ClosePort();
    }

    long Open() { return lib.openPort("SOCKET:127.0.0.1", std::to_string(printer.port())); }
    void OpenAndClaim() {
        ASSERT_EQ(Open(), 0);
        ASSERT_EQ(lib.claim(1000, true), 0);
        ASSERT_TRUE(printer.waitForSequence(kEnable, 1, seconds(3)));
    }
    bool StatusBecomes(int status) {
        return WaitFor([&] { return lib.getPrinterStatus(0) == status; }, seconds(3));
    }

    prnsim::TcpPrinter printer;
};

TEST_F(EthernetNative, JobClaimStatusAndDrawer) {
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(printer.connectionCount(), 1);
    const Bytes job = Text("network receipt\n");
    EXPECT_EQ(lib.writeData(job, Size(job), 1000), Size(job));
    EXPECT_TRUE(printer.waitForSequence(job, 1, seconds(3)));

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

    start = Clock::now();
    EXPECT_EQ(lib.openDrawer(2, 100, 200), 0);
    EXPECT_TRUE(About(MillisSince(start), 2000)) << MillisSince(start) << " ms";
    EXPECT_TRUE(printer.waitForSequence(kKickPin2, 1, seconds(3)));

    ClosePort();
    EXPECT_TRUE(WaitFor([&] { return !printer.connected(); }, seconds(3)));
    ExpectNothingLeft();
}

TEST_F(EthernetNative, CompletionWaitOnOneThreadWhileOthersPoll) {
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
    EXPECT_NE(printer.text().find(receipt), std::string::npos);
    EXPECT_EQ(unexpected, 0);
    ClosePort();
    ExpectNothingLeft();
}

TEST_F(EthernetNative, UnloadAfterUseLeavesNoThreadAndLoadsAgain) {
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
