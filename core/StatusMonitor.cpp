#include "StatusMonitor.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "Deliverable.h"
#include "Line.h"
#include "MutexHold.h"
#include "Port.h"
#include "PrinterCommands.h"
#include "PrinterState.h"
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
// How long one of the monitor's commands may wait for room on the line before it is left for a
// later pass: it never holds a pass up for a stuck line.
constexpr uint32_t kCommandRoomMs = 100;

const MonitorHooks& Hooks() { return kDeliverable.monitor; }
const Variant& ThisVariant() { return kDeliverable.variant; }

// Sleeps ms, less when the port's monitor is told to stop or, with endOnFastPoll, when the
// fast-poll flag goes up.
void SleepFor(Port& port, uint32_t ms, bool endOnFastPoll) {
    MonitorThread& m = port.monitor;
    const timespec until = MonotonicAfter(ms);
    const MutexHold hold(m.sleepLock);
    while (port.state.monitorRun && !(endOnFastPoll && port.state.m_bSleepFlag)) {
        if (pthread_cond_timedwait(&m.sleepWake, &m.sleepLock, &until) == ETIMEDOUT) break;
    }
}

void MonitorSleep(Port& port, uint32_t ms) { SleepFor(port, ms, false); }

// The sleep at the top of a pass. An idle interval also ends as soon as the fast-poll flag goes
// up (a completion wait has sent its request), so that the fast polling starts at once; a fast
// interval runs its course.
void PassSleep(Port& port) {
    const bool idle = !port.state.m_bSleepFlag;
    SleepFor(port, idle ? ThisVariant().idleIntervalMs : kFastPollMs, idle);
}

void WakeMonitorSleep(Port& port) {
    const MutexHold hold(port.monitor.sleepLock);
    pthread_cond_broadcast(&port.monitor.sleepWake);
}

// What one claim's monitor keeps from pass to pass. The enable command is owed until it could go
// out: the monitor never waits for a writer, and never puts its command inside another job's
// bytes. The end of a read that is the start of a status block or a reply waits for the rest.
struct Watch {
    Port& port;
    DecodeMode mode;
    bool enableOwed = false;
    SplitMessages split;
};

// What one pass works with.
struct Pass {
    const line::Use& use;
    Watch& watch;
    Port& port() const { return watch.port; }
    int fd() const { return use.fd(); }
};

// GS a 255 on the monitor's connection, if no writer is in the middle of a job: true when it
// went out, or its rest is owed and goes out before anything else.
bool SendEnableIfFree(const line::Use& use) {
    const line::LineIfFree free(use.port());
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
    printer::Report(pass.port(), update, EnableSeam{&SendEnableSeam, &pass});
}

// The line has dropped DSR: report offline, decode what is still waiting, then wait (checking
// every 100 ms) until the line is back or the monitor is told to stop. A line whose far end goes
// meanwhile is gone for good: the wait ends, and so do the waits for the printer's answer.
void WaitOutOfflineLine(Pass& pass) {
    Port& port = pass.port();
    printer::ReportOffline(port, Why::LineDown);
    uint8_t batch[kBatchSize];
    const BatchRead read = Hooks().readBatch(port, pass.fd(), batch, kBatchSize, pass.watch.mode);
    if (read.outcome == ReadOutcome::Gone) {
        line::MarkGone(port, pass.use.session());
        return;
    }
    if (read.n >= 4) {
        Decode(pass, batch, read.n);
        // A "ready" block still waiting from before the drop is old news: the line says
        // offline until DSR returns. A cover, paper or error report says why, and stands.
        const int32_t decoded = port.state.PrinterStatusResult;
        if (decoded != kStatusCoverOpen && decoded != kStatusPaperEnd) {
            printer::ReportOffline(port, Why::LineDown);
        }
    } else if (pass.watch.mode == DecodeMode::Impact) {
        // An impact printer that drops DSR and has nothing to say has run out of paper.
        StatusUpdate paperEnd;
        SetCondition(ThisVariant(), PrinterCondition::PaperEnd, paperEnd);
        printer::Report(port, paperEnd, EnableSeam{nullptr, nullptr});
    }
    while (port.state.monitorRun && !pass.use.stopping()) {
        const LineState state = Hooks().checkLine(port, pass.fd());
        if (state != LineState::Online && Hooks().lineGone != nullptr &&
            Hooks().lineGone(port, pass.fd())) {
            line::MarkGone(port, pass.use.session());
            return;
        }
        MonitorSleep(port, kOfflineCheckMs);
        if (state == LineState::Online) {
            if (pass.watch.mode == DecodeMode::Impact) {
                if (!SendEnableIfFree(pass.use)) pass.watch.enableOwed = true;
                printer::ReportOnline(port, Why::LineBack);
            }
            MonitorSleep(port, kOfflineCheckMs);
            return;
        }
    }
}

void CheckConnection(Pass& pass) {
    if (Hooks().checkLine == nullptr) return;
    Port& port = pass.port();
    switch (Hooks().checkLine(port, pass.fd())) {
        case LineState::CheckFailed:
            return;
        case LineState::Online:
            printer::ReportOnline(port, Why::Answered);
            return;
        case LineState::Offline:
            if (Hooks().waitOutOffline) {
                WaitOutOfflineLine(pass);
            } else {
                printer::ReportOffline(port, Why::NoReverse);
            }
            return;
    }
}

// One read and its decoding: whether the monitor goes on, ends, or must reopen its connection.
ReadOutcome ReadAndDecode(Pass& pass) {
    uint8_t batch[kBatchSize];
    const BatchRead read =
        Hooks().readBatch(pass.port(), pass.fd(), batch, kBatchSize, pass.watch.mode);
    if (read.outcome == ReadOutcome::Decode) Decode(pass, batch, read.n);
    return read.outcome;
}

// Waits for the lifecycle lock only by trying (a close may hold it while it joins us), then puts
// the reopened node under the lost one's number. False, with fd closed, when told to stop first.
bool InstallReopened(Port& port, uint32_t session, int fd) {
    while (port.state.monitorRun && !line::Closing(port, session)) {
        const line::LifecycleIfFree hold(port);
        if (hold) return line::ReplaceKeepingNumber(port, session, fd);
        MonitorSleep(port, kLifecycleRetryMs);
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
Return ReopenLostLine(Port& port, uint32_t session) {
    while (port.state.monitorRun && !line::Closing(port, session)) {
        int fd = -1;
        Reopened found;
        {
            const line::Use held(port, session);
            found = Hooks().openAgain(port, held.ok() ? held.fd() : -1, &fd);
        }
        if (found == Reopened::HeldStillWorks) return Return::Back;
        if (found == Reopened::Back) {
            if (InstallReopened(port, session, fd)) return Return::Back;
            if (!port.state.monitorRun || line::Closing(port, session)) return Return::Stopped;
        }
        MonitorSleep(port, kReopenRetryMs);
    }
    return Return::Stopped;
}

// After a reopen: a thermal monitor's next pass enables automatic status (m_bOffline is still
// set); an impact printer gets a second to come up, then the enable command.
void AfterReopen(Watch& watch) {
    Port& port = watch.port;
    watch.split.Forget();
    if (watch.mode != DecodeMode::Impact) return;
    MonitorSleep(port, kReopenSettleMs);
    if (!port.state.monitorRun) return;
    const line::Use use(port);
    if (!use.ok() || !SendEnableIfFree(use)) watch.enableOwed = true;
    printer::ReportOnline(port, Why::Reopened);
}

// One pass on the descriptor, which it holds throughout (a close or a replacement waits for
// it). With the connection found gone, the session it belonged to is in lostSession.
ReadOutcome RunPass(Watch& watch, uint32_t& lostSession) {
    Port& port = watch.port;
    const line::Use use(port);
    if (!use.ok()) return ReadOutcome::Decode;
    Pass pass{use, watch};
    if (watch.mode == DecodeMode::Thermal && (port.state.m_bOffline || watch.enableOwed)) {
        // Every offline or error report (and the claim) re-enables automatic status.
        if (SendEnableIfFree(use)) {
            watch.enableOwed = false;
            printer::EnableSent(port);
            MonitorSleep(port, kEnableSettleMs);
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
        printer::ReportOffline(port, Why::LineGone);
        line::MarkGone(port, use.session());
    }
    return outcome;
}

void RunMonitor(Port& port, DecodeMode mode) {
    Watch watch{port, mode, false, {}};
    if (mode == DecodeMode::Impact && port.state.m_bOffline) {
        const line::Use use(port);
        if (!use.ok() || !SendEnableIfFree(use)) watch.enableOwed = true;
        printer::EnableSent(port);
    }
    while (port.state.monitorRun) {
        // A stop cuts the sleep short; the pass still runs, and the loop ends at its top.
        PassSleep(port);
        uint32_t session = 0;
        const ReadOutcome outcome = RunPass(watch, session);
        if (outcome == ReadOutcome::EndThread) {
            // The connection is lost and nothing replaces it by itself: nothing waits for the
            // printer's answer until a new one does.
            line::MarkLost(port, session, true);
            return;
        }
        if (outcome != ReadOutcome::Reopen) continue;
        // The pass found its connection gone and has let go of it: nothing waits for the
        // printer's answer until it is back, and the reopen may replace it.
        line::MarkLost(port, session, true);
        const Return back = ReopenLostLine(port, session);
        line::MarkLost(port, session, false);
        if (back == Return::Back) AfterReopen(watch);
    }
}

void JoinLocked(MonitorThread& m) {
    if (!m.started) return;
    pthread_join(m.thread, nullptr);
    m.started = false;
}

}  // namespace

MonitorThread::MonitorThread() { InitMonotonicCondition(sleepWake); }

MonitorThread::~MonitorThread() { pthread_cond_destroy(&sleepWake); }

void* StatusHandler(void* port) {
    Port& p = *static_cast<Port*>(port);
    if (trace::On()) trace::MarkMonitorThread();
    RunMonitor(p, DecodeMode::Thermal);
    return nullptr;
}

void* StatusHandlerDot(void* port) {
    Port& p = *static_cast<Port*>(port);
    if (trace::On()) trace::MarkMonitorThread();
    RunMonitor(p, DecodeMode::Impact);
    return nullptr;
}

int StartMonitor(Port& port, DecodeMode mode) {
    MonitorThread& m = port.monitor;
    const MutexHold hold(m.handleLock);
    port.state.monitorRun = 0;
    WakeMonitorSleep(port);
    JoinLocked(m);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    if (mode == DecodeMode::Thermal) {
        if (pthread_attr_setstacksize(&attr, kThermalStack) != 0) {
            std::printf("set stack size failed\n");
            std::fflush(stdout);
        }
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    port.state.monitorRun = 1;
    void* (*body)(void*) = mode == DecodeMode::Thermal ? &StatusHandler : &StatusHandlerDot;
    const int created = pthread_create(&m.thread, &attr, body, &port);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        port.state.monitorRun = 0;
        return -1;
    }
    m.started = true;
    m.mode = mode;
    return 0;
}

void SignalMonitorStop(Port& port) {
    port.state.monitorRun = 0;
    WakeMonitorSleep(port);
}

void StopMonitor(Port& port) {
    MonitorThread& m = port.monitor;
    const MutexHold hold(m.handleLock);
    port.state.monitorRun = 0;
    WakeMonitorSleep(port);
    JoinLocked(m);
}

void HurryMonitor(Port& port) { WakeMonitorSleep(port); }

bool MonitorStarted(Port& port) {
    const MutexHold hold(port.monitor.handleLock);
    return port.monitor.started;
}
