#include "StatusMonitor.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "Deliverable.h"
#include "DeviceState.h"
#include "Line.h"
#include "MutexHold.h"
#include "PrinterCommands.h"
#include "StatusCodes.h"
#include "Timing.h"
#include "Trace.h"

namespace {

constexpr uint32_t kFastPollMs = 50;
constexpr uint32_t kEnableSettleMs = 100;
constexpr uint32_t kOfflineCheckMs = 100;
constexpr long kBatchSize = 256;
constexpr uint32_t kReopenRetryMs = 1000;
constexpr uint32_t kReopenSettleMs = 1000;  // impact: after a reopen, before the enable command
constexpr uint32_t kLifecycleRetryMs = 20;
constexpr size_t kThermalStack = 64 * 1024;

// The monitor's thread handle. Start and stop are serialised so that a handle is joined
// exactly once, whichever Java thread releases, reclaims or reconnects.
pthread_mutex_t g_handle = PTHREAD_MUTEX_INITIALIZER;
pthread_t g_thread{};
bool g_started = false;

// The monitor's sleeps end early when it is told to stop, so a release or a reconnection does
// not wait out the rest of an idle interval.
pthread_mutex_t g_sleepLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_sleepWake;
pthread_once_t g_sleepOnce = PTHREAD_ONCE_INIT;

void InitSleepWake() { InitMonotonicCondition(g_sleepWake); }

// Sleeps ms, less when the monitor is told to stop or, with endOnFastPoll, when the fast-poll
// flag goes up.
void SleepFor(uint32_t ms, bool endOnFastPoll) {
    pthread_once(&g_sleepOnce, &InitSleepWake);
    const timespec until = MonotonicAfter(ms);
    const MutexHold hold(g_sleepLock);
    while (g_MonitorRun && !(endOnFastPoll && m_bSleepFlag)) {
        if (pthread_cond_timedwait(&g_sleepWake, &g_sleepLock, &until) == ETIMEDOUT) break;
    }
}

void MonitorSleep(uint32_t ms) { SleepFor(ms, false); }

const MonitorHooks& Hooks() { return kDeliverable.monitor; }
const Variant& ThisVariant() { return kDeliverable.variant; }

// How long one of the monitor's commands may wait for room on the line before it is left for a
// later pass: it never holds a pass up for a stuck line.
constexpr uint32_t kCommandRoomMs = 100;

// The sleep at the top of a pass. An idle interval also ends as soon as the fast-poll flag goes
// up (a completion wait has sent its request), so that the fast polling starts at once; a fast
// interval runs its course.
void PassSleep() {
    const bool idle = !m_bSleepFlag;
    SleepFor(idle ? ThisVariant().idleIntervalMs : kFastPollMs, idle);
}

void WakeMonitorSleep() {
    pthread_once(&g_sleepOnce, &InitSleepWake);
    const MutexHold hold(g_sleepLock);
    pthread_cond_broadcast(&g_sleepWake);
}

// What one claim's monitor keeps from pass to pass. The enable command is owed until it could go
// out: the monitor never waits for a writer, and never puts its command inside another job's
// bytes. The end of a read that is the start of a status block or a reply waits for the rest.
struct Watch {
    DecodeMode mode;
    bool enableOwed = false;
    SplitMessages split;
};

// What one pass works with.
struct Pass {
    const line::Use& use;
    Watch& watch;
    int fd() const { return use.fd(); }
};

// GS a 255 on the monitor's connection, if no writer is in the middle of a job: true when it
// went out, or its rest is owed and goes out before anything else.
bool SendEnableIfFree(const line::Use& use) {
    const line::LineIfFree free;
    if (!free) return false;
    const line::CommandSent sent =
        line::PutCommand(use, kDeliverable.putBytes, escpos::kEnableAutoStatus,
                         sizeof escpos::kEnableAutoStatus, kCommandRoomMs);
    return sent != line::CommandSent::No;
}

void SendEnableSeam(void* context) {
    Pass& pass = *static_cast<Pass*>(context);
    if (!SendEnableIfFree(pass.use)) pass.watch.enableOwed = true;
}

// One read's bytes: the unfinished end of the batch waits for the next read; the rest is decoded.
void Decode(Pass& pass, const uint8_t* batch, long n) {
    uint8_t joined[SplitMessages::kMaxJoined];
    const int whole = pass.watch.split.Join(batch, static_cast<int>(n), joined);
    if (whole <= 0) return;
    const StatusUpdate update = DecodeBatch(ThisVariant(), pass.watch.mode, joined, whole);
    ApplyStatusUpdate(update, EnableSeam{&SendEnableSeam, &pass});
}

// The refusal flag first: a caller that sees 8 and writes at once is refused at once.
void SetOffline() {
    m_bOffline = 1;
    PrinterStatusResult = kStatusOffline;
}

// The line has dropped DSR: report offline, decode what is still waiting, then wait (checking
// every 100 ms) until the line is back or the monitor is told to stop. A line whose far end goes
// meanwhile is gone for good: the wait ends, and so do the waits for the printer's answer.
void WaitOutOfflineLine(Pass& pass) {
    SetOffline();
    uint8_t batch[kBatchSize];
    const BatchRead read = Hooks().readBatch(pass.fd(), batch, kBatchSize, pass.watch.mode);
    if (read.outcome == ReadOutcome::Gone) {
        line::MarkGone(pass.use.session());
        return;
    }
    if (read.n >= 4) {
        Decode(pass, batch, read.n);
        // A "ready" block still waiting from before the drop is old news: the line says
        // offline until DSR returns. A cover, paper or error report says why, and stands.
        const int32_t decoded = PrinterStatusResult;
        if (decoded != kStatusCoverOpen && decoded != kStatusPaperEnd) SetOffline();
    } else if (pass.watch.mode == DecodeMode::Impact) {
        // An impact printer that drops DSR and has nothing to say has run out of paper.
        StatusUpdate paperEnd;
        SetCondition(ThisVariant(), PrinterCondition::PaperEnd, paperEnd);
        ApplyStatusUpdate(paperEnd, EnableSeam{nullptr, nullptr});
    }
    while (g_MonitorRun && !pass.use.stopping()) {
        const LineState state = Hooks().checkLine(pass.fd());
        if (state != LineState::Online && Hooks().lineGone != nullptr &&
            Hooks().lineGone(pass.fd())) {
            line::MarkGone(pass.use.session());
            return;
        }
        MonitorSleep(kOfflineCheckMs);
        if (state == LineState::Online) {
            if (pass.watch.mode == DecodeMode::Impact) {
                if (!SendEnableIfFree(pass.use)) pass.watch.enableOwed = true;
                m_bOffline = 0;
            }
            MonitorSleep(kOfflineCheckMs);
            return;
        }
    }
}

void CheckConnection(Pass& pass) {
    if (Hooks().checkLine == nullptr) return;
    switch (Hooks().checkLine(pass.fd())) {
        case LineState::CheckFailed:
            return;
        case LineState::Online:
            m_bOffline = 0;
            return;
        case LineState::Offline:
            if (Hooks().waitOutOffline) {
                WaitOutOfflineLine(pass);
            } else {
                SetOffline();
            }
            return;
    }
}

// One read and its decoding: whether the monitor goes on, ends, or must reopen its connection.
ReadOutcome ReadAndDecode(Pass& pass) {
    uint8_t batch[kBatchSize];
    const BatchRead read = Hooks().readBatch(pass.fd(), batch, kBatchSize, pass.watch.mode);
    if (read.outcome == ReadOutcome::Decode) Decode(pass, batch, read.n);
    return read.outcome;
}

// Waits for the lifecycle lock only by trying (a close may hold it while it joins us), then puts
// the reopened node under the lost one's number. False, with fd closed, when told to stop first.
bool InstallReopened(uint32_t session, int fd) {
    while (g_MonitorRun && !line::Closing(session)) {
        const line::LifecycleIfFree hold;
        if (hold) return line::ReplaceKeepingNumber(session, fd);
        MonitorSleep(kLifecycleRetryMs);
    }
    close(fd);
    return false;
}

enum class Return : uint8_t { Back, Stopped };

// The connection is gone (a printer node unplugged; the pass has let go of it): opens it again
// once a second until it is back or the monitor is told to stop. Until then the dead descriptor
// keeps its number, and writes on it fail. A node that answers the reopen with "one open at a
// time" while the descriptor held still works was never lost: the monitor goes back to it. A
// node that gives another printer's device ID is not ours: it is closed and tried again.
Return ReopenLostLine(uint32_t session) {
    while (g_MonitorRun && !line::Closing(session)) {
        int fd = -1;
        Reopened found;
        {
            const line::Use held(session);
            found = Hooks().openAgain(held.ok() ? held.fd() : -1, &fd);
        }
        if (found == Reopened::HeldStillWorks) return Return::Back;
        if (found == Reopened::Back) {
            if (InstallReopened(session, fd)) return Return::Back;
            if (!g_MonitorRun || line::Closing(session)) return Return::Stopped;
        }
        MonitorSleep(kReopenRetryMs);
    }
    return Return::Stopped;
}

// After a reopen: a thermal monitor's next pass enables automatic status (m_bOffline is still
// set); an impact printer gets a second to come up, then the enable command.
void AfterReopen(Watch& watch) {
    watch.split.Forget();
    if (watch.mode != DecodeMode::Impact) return;
    MonitorSleep(kReopenSettleMs);
    if (!g_MonitorRun) return;
    const line::Use use;
    if (!use.ok() || !SendEnableIfFree(use)) watch.enableOwed = true;
    m_bOffline = 0;
}

// One pass on the descriptor, which it holds throughout (a close or a replacement waits for
// it). With the connection found gone, the session it belonged to is in lostSession.
ReadOutcome RunPass(Watch& watch, uint32_t& lostSession) {
    const line::Use use;
    if (!use.ok()) return ReadOutcome::Decode;
    Pass pass{use, watch};
    if (watch.mode == DecodeMode::Thermal && (m_bOffline || watch.enableOwed)) {
        // Every offline or error report (and the claim) re-enables automatic status.
        if (SendEnableIfFree(use)) {
            watch.enableOwed = false;
            m_bOffline = 0;
            MonitorSleep(kEnableSettleMs);
        } else {
            watch.enableOwed = true;  // a job is on the line: next pass
        }
    } else if (watch.enableOwed && SendEnableIfFree(use)) {
        watch.enableOwed = false;
    }
    CheckConnection(pass);
    const ReadOutcome outcome = ReadAndDecode(pass);
    lostSession = use.session();
    if (outcome == ReadOutcome::Gone) {
        SetOffline();
        line::MarkGone(use.session());
    }
    return outcome;
}

void RunMonitor(DecodeMode mode) {
    Watch watch{mode, false, {}};
    if (mode == DecodeMode::Impact && m_bOffline) {
        const line::Use use;
        if (!use.ok() || !SendEnableIfFree(use)) watch.enableOwed = true;
        m_bOffline = 0;
    }
    while (g_MonitorRun) {
        // A stop cuts the sleep short; the pass still runs, and the loop ends at its top.
        PassSleep();
        uint32_t session = 0;
        const ReadOutcome outcome = RunPass(watch, session);
        if (outcome == ReadOutcome::EndThread) {
            // The connection is lost and nothing replaces it by itself: nothing waits for the
            // printer's answer until a new one does.
            line::MarkLost(session, true);
            return;
        }
        if (outcome != ReadOutcome::Reopen) continue;
        // The pass found its connection gone and has let go of it: nothing waits for the
        // printer's answer until it is back, and the reopen may replace it.
        line::MarkLost(session, true);
        const Return back = ReopenLostLine(session);
        line::MarkLost(session, false);
        if (back == Return::Back) AfterReopen(watch);
    }
}

void JoinLocked() {
    if (!g_started) return;
    pthread_join(g_thread, nullptr);
    g_started = false;
}

}  // namespace

void* StatusHandler(void*) {
    if (trace::On()) trace::MarkMonitorThread();
    RunMonitor(DecodeMode::Thermal);
    return nullptr;
}

void* StatusHandlerDot(void*) {
    if (trace::On()) trace::MarkMonitorThread();
    RunMonitor(DecodeMode::Impact);
    return nullptr;
}

int StartMonitor(DecodeMode mode) {
    const MutexHold hold(g_handle);
    g_MonitorRun = 0;
    WakeMonitorSleep();
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
    const int created = pthread_create(&g_thread, &attr, body, nullptr);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        g_MonitorRun = 0;
        return -1;
    }
    g_started = true;
    return 0;
}

void SignalMonitorStop() {
    g_MonitorRun = 0;
    WakeMonitorSleep();
}

void StopMonitor() {
    const MutexHold hold(g_handle);
    g_MonitorRun = 0;
    WakeMonitorSleep();
    JoinLocked();
}

void HurryMonitor() { WakeMonitorSleep(); }

bool MonitorStarted() {
    const MutexHold hold(g_handle);
    return g_started;
}
