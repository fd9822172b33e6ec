// A monitor thread that cannot be created: the claim is refused and the process goes on. The
// executable's own pthread_create stands in front of the C library's and fails on request.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "Claim.h"
#include "DeviceState.h"
#include "LinuxSerial.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "TransportTestSupport.h"
#include "prnsim/SerialPrinter.h"
#include "SharedPort.h"

PRN_ON_THE_SHARED_PORT(serConfigurePort)
inline SerPort& serPort = SerialRecord(SharedPort());
inline StateWord& SStopIt = SharedPort().state.monitorRun;

namespace {
std::atomic<bool> g_failThreads{false};
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_failThreads) return EAGAIN;
    return real(thread, attr, start, arg);
}

namespace {

using namespace prntest;

TEST(ClaimFailure, NoThreadMeansNotClaimedAndNothingChanged) {
    ResetDeviceState();
    prnsim::SerialPrinter printer;
    ASSERT_TRUE(printer.ok());
    ASSERT_EQ(OpenPort(printer.devicePath().c_str(), "9600,none,8,1,none"), BRELON_ERROR_SUCCESS);
    m_bOpen = 1;
    m_bPaperEmpty = 1;  // as a monitor of an earlier claim left it
    const int threads = ThreadCount();

    g_failThreads = true;
    EXPECT_EQ(Claim(0, true), 1);
    g_failThreads = false;

    EXPECT_FALSE(MonitorStarted());
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(m_bPaperEmpty, 1);
    EXPECT_EQ(m_bOffline, 0);
    EXPECT_EQ(SStopIt, 0);
    EXPECT_EQ(m_bOpen, 1);

    // Once threads can be made again the claim works.
    m_bPaperEmpty = 0;
    EXPECT_EQ(Claim(0, true), 0);
    EXPECT_TRUE(MonitorStarted());
    ReleaseDevice();
    ClosePort();
    m_bOpen = 0;
}

}  // namespace
