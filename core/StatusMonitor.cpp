#include "StatusMonitor.h"

#include <pthread.h>

#include <cstdint>
#include <cstdio>

#include "Deliverable.h"
#include "DeviceState.h"
#include "StatusCodes.h"
#include "Timing.h"

namespace {

constexpr uint32_t kFastPollMs = 50;
constexpr uint32_t kEnableSettleMs = 100;
constexpr uint32_t kOfflineCheckMs = 100;
constexpr long kBatchSize = 256;
constexpr size_t kThermalStack = 64 * 1024;

// The monitor's thread handle. Start and stop are serialised so that a handle is joined
// exactly once, whichever Java thread releases, reclaims or reconnects.
pthread_mutex_t g_lifecycle = PTHREAD_MUTEX_INITIALIZER;

// Holds g_lifecycle for a scope. A plain pthread mutex: the C++ one would bring the C++
// runtime's exception support into the library for an error it can never report.
class Lifecycle {
public:
    Lifecycle() { pthread_mutex_lock(&g_lifecycle); }
    ~Lifecycle() { pthread_mutex_unlock(&g_lifecycle); }
    Lifecycle(const Lifecycle&) = delete;
    Lifecycle& operator=(const Lifecycle&) = delete;
};
pthread_t g_thread{};
bool g_started = false;

const MonitorHooks& Hooks() { return kDeliverable.monitor; }
const Variant& ThisVariant() { return kDeliverable.variant; }

uint32_t PollingInterval() {
    return m_bSleepFlag ? kFastPollMs : ThisVariant().idleIntervalMs;
}

void SendEnableSeam(void* context) {
    Hooks().sendEnable(static_cast<int>(reinterpret_cast<intptr_t>(context)));
}

void Decode(int fd, DecodeMode mode, const uint8_t* batch, long n) {
    const StatusUpdate update = DecodeBatch(ThisVariant(), mode, batch, static_cast<int>(n));
    ApplyStatusUpdate(update, EnableSeam{&SendEnableSeam, reinterpret_cast<void*>(
                                                              static_cast<intptr_t>(fd))});
}

// The refusal flag first: a caller that sees 8 and writes at once is refused at once.
void SetOffline() {
    m_bOffline = 1;
    PrinterStatusResult = kStatusOffline;
}

// The line has dropped DSR: report offline, decode what is still waiting, then wait (checking
// every 100 ms) until the line is back or the monitor is told to stop.
void WaitOutOfflineLine(int fd, DecodeMode mode) {
    SetOffline();
    uint8_t batch[kBatchSize];
    const long n = Hooks().readBatch(fd, batch, kBatchSize);
    if (n >= 4) {
        Decode(fd, mode, batch, n);
    } else if (mode == DecodeMode::Impact) {
        // An impact printer that drops DSR and has nothing to say has run out of paper.
        StatusUpdate paperEnd;
        SetCondition(ThisVariant(), PrinterCondition::PaperEnd, paperEnd);
        ApplyStatusUpdate(paperEnd, EnableSeam{nullptr, nullptr});
    }
    while (g_MonitorRun) {
        const LineState line = Hooks().checkLine(fd);
        LoopSleep(kOfflineCheckMs);
        if (line == LineState::Online) {
            if (mode == DecodeMode::Impact) {
                Hooks().sendEnable(fd);
                m_bOffline = 0;
            }
            LoopSleep(kOfflineCheckMs);
            return;
        }
    }
}

void CheckConnection(int fd, DecodeMode mode) {
    if (Hooks().checkLine == nullptr) return;
    switch (Hooks().checkLine(fd)) {
        case LineState::CheckFailed:
            return;
        case LineState::Online:
            m_bOffline = 0;
            return;
        case LineState::Offline:
            if (Hooks().waitOutOffline) {
                WaitOutOfflineLine(fd, mode);
            } else {
                SetOffline();
            }
            return;
    }
}

// One read and its decoding; false when the monitor must end.
bool ReadAndDecode(int& fd, DecodeMode mode) {
    uint8_t batch[kBatchSize];
    const long n = Hooks().readBatch(fd, batch, kBatchSize);
    const ReadOutcome outcome =
        Hooks().judgeRead ? Hooks().judgeRead(fd, n, mode) : ReadOutcome::Decode;
    if (outcome == ReadOutcome::EndThread) return false;
    if (outcome == ReadOutcome::Decode) Decode(fd, mode, batch, n);
    return true;
}

void RunMonitor(int fd, DecodeMode mode) {
    if (mode == DecodeMode::Impact && m_bOffline) {
        Hooks().sendEnable(fd);
        m_bOffline = 0;
    }
    while (g_MonitorRun) {
        LoopSleep(PollingInterval());
        // Thermal: every offline or error report (and the claim) re-enables automatic status.
        if (mode == DecodeMode::Thermal && m_bOffline) {
            Hooks().sendEnable(fd);
            m_bOffline = 0;
            LoopSleep(kEnableSettleMs);
        }
        CheckConnection(fd, mode);
        if (!ReadAndDecode(fd, mode)) return;
    }
}

int DescriptorOf(void* argument) {
    return static_cast<int>(reinterpret_cast<intptr_t>(argument));
}

void JoinLocked() {
    if (!g_started) return;
    pthread_join(g_thread, nullptr);
    g_started = false;
}

}  // namespace

void* StatusHandler(void* fd) {
    RunMonitor(DescriptorOf(fd), DecodeMode::Thermal);
    return nullptr;
}

void* StatusHandlerDot(void* fd) {
    RunMonitor(DescriptorOf(fd), DecodeMode::Impact);
    return nullptr;
}

int StartMonitor(DecodeMode mode, int fd) {
    const Lifecycle hold;
    g_MonitorRun = 0;
    JoinLocked();

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    if (mode == DecodeMode::Thermal) {
        if (pthread_attr_setstacksize(&attr, kThermalStack) != 0) {
            std::printf("set stack size failed\n");
            std::fflush(stdout);
        }
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    g_MonitorRun = 1;
    void* (*body)(void*) = mode == DecodeMode::Thermal ? &StatusHandler : &StatusHandlerDot;
    const int created =
        pthread_create(&g_thread, &attr, body, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    pthread_attr_destroy(&attr);
    if (created != 0) {
        g_MonitorRun = 0;
        return -1;
    }
    g_started = true;
    return 0;
}

void StopMonitor() {
    const Lifecycle hold;
    g_MonitorRun = 0;
    JoinLocked();
}

bool MonitorStarted() {
    const Lifecycle hold;
    return g_started;
}
