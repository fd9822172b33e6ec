#include "Claim.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "Deliverable.h"
#include "Line.h"
#include "Port.h"
#include "PrinterCommands.h"
#include "PrinterState.h"
#include "ReadinessProbe.h"
#include "StatusCodes.h"
#include "StatusMonitor.h"
#include "Timing.h"
#include "Transport.h"

namespace {

constexpr uint32_t kFirstPassMs = 500;
constexpr uint32_t kResendAfterMs = 9999;
constexpr uint32_t kCompletionPollMs = 20;
constexpr uint32_t kReplySettleMs = 100;

// Identifiers d1 d2 d3 for the completion requests, printable, one per wait. The count starts at
// a place of its own in every process, so that a reply the printer still owes a process that
// ended is not taken for one of ours.
constexpr char kIdAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr uint32_t kIdSymbols = sizeof kIdAlphabet - 1;
constexpr uint32_t kIdCount = kIdSymbols * kIdSymbols * kIdSymbols;
std::atomic<uint32_t> g_nextId{0};
std::atomic<bool> g_idSeeded{false};

ReplyId NextReplyId() {
    if (!g_idSeeded.exchange(true)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        g_nextId.store(static_cast<uint32_t>(now.tv_nsec / 1000) ^ static_cast<uint32_t>(getpid()));
    }
    uint32_t n = g_nextId.fetch_add(1) % kIdCount;
    ReplyId id = 0;
    for (int i = 0; i < 3; ++i) {
        id = id << 8 | static_cast<uint8_t>(kIdAlphabet[n % kIdSymbols]);
        n /= kIdSymbols;
    }
    return id;
}

// The completion request goes through the transport's writer like print data (a refusal holds
// it back), as one of the library's own commands: a rest that did not go out goes before
// anything else.
long SendRequest(Port& port, const std::array<uint8_t, 11>& request) {
    const line::CommandScope command;
    return WritePort(port, request.data(), static_cast<long>(request.size()));
}

}  // namespace

long ClaimDevice(Port& port, long /*TimeoutMillis*/, int IsThermal) {
    const line::Lifecycle hold(port);
    DeviceState& state = port.state;
    const Variant& variant = kDeliverable.variant;
    const DecodeMode mode = IsThermal ? DecodeMode::Thermal : DecodeMode::Impact;
    // A claim over a running claim replaces its monitor: two must never read one line.
    StopMonitor(port);
    const printer::Saved before = printer::Save(port);
    const int32_t terminating = state.m_Terminating;
    const int32_t sleepFlag = state.m_bSleepFlag;
    printer::ForgetReport(port, Why::Claim);
    if (mode == DecodeMode::Impact && !variant.impactMonitor) return 0;

    state.m_Terminating = 0;
    printer::OweEnable(port, Why::Claim);  // the first pass enables automatic status
    state.m_bSleepFlag = variant.fastFirstPasses ? 1 : 0;
    if (StartMonitor(port, mode) != 0) {
        printer::Restore(port, before);
        state.m_Terminating = terminating;
        state.m_bSleepFlag = sleepFlag;
        return 1;
    }
    // A close that begins meanwhile need not wait for the rest of the first pass.
    line::SleepUnlessClosing(port, line::Session(port), kFirstPassMs);
    if (variant.fastFirstPasses) state.m_bSleepFlag = 0;
    return 0;
}

long Claim(Port& port, long timeout, bool IsThermal) {
    // One at a time with open, close and reconnection: a claim racing a close must not start a
    // monitor on a descriptor that close has just given back.
    const line::Lifecycle hold(port);
    if (kDeliverable.recordClaimMode) kDeliverable.recordClaimMode(port, IsThermal ? 1 : 0);
    if (!port.state.m_bOpen) return 1;
    if (IsThermal) return ClaimDevice(port, timeout, 1);
    // The probe reads the replies itself: no monitor may take them first.
    if (kDeliverable.variant.impactClaimProbe) StopMonitor(port);
    if (kDeliverable.variant.impactClaimProbe && DotClaim(port) != 1) {
        ClosePort(port);
        port.state.m_bOpen = 0;
        return 1;
    }
    return ClaimDevice(port, timeout, 0);
}

long ReleaseDevice(Port& port) {
    const line::Lifecycle hold(port);
    // The release wait gives a running monitor time to see the stop; with none started (an
    // open, a print and a close without a claim) there is nobody to wait for.
    const bool watched = MonitorStarted(port);
    port.releases.fetch_add(1);
    port.state.m_Terminating = 1;
    SignalMonitorStop(port);
    if (kDeliverable.releaseWake) kDeliverable.releaseWake(port);
    if (watched) LoopSleep(kDeliverable.releaseWaitMs);
    // No monitor may outlive the descriptor the caller is about to close.
    StopMonitor(port);
    return 0;
}

namespace {

// The wait itself: whether the reply to its own request came.
bool AwaitCompletion(Port& port) {
    DeviceState& state = port.state;
    const uint32_t releases = port.releases.load();
    // The port this wait is for. A close (also the one after a failed open) or a new open ends
    // the session and the monitor that would see the reply: the wait ends with it.
    const uint32_t session = line::Session(port);
    const ReplyId id = NextReplyId();
    uint8_t idBytes[4];
    ReplyIdBytes(id, idBytes);
    const auto request = escpos::ProcessIdRequest(idBytes);
    // Armed before the request leaves: a printer that answers at once must not have its reply
    // missed. Only the reply to this request ends this wait.
    state.m_bSleepFlag = 1;
    state.m_OutputComplemetFlag = 0;
    const bool awaited = state.replies.Await(id);
    SendRequest(port, request);
    // The monitor may be in the middle of an idle interval: it polls fast from now on.
    HurryMonitor(port);
    uint32_t start = 0;
    bool answered = false;
    // A printer that is gone (a line hung up for good, a node unplugged, a network connection
    // lost with none in its place) can never bring the answer.
    while (awaited && !state.m_Terminating && port.releases.load() == releases &&
           line::Session(port) == session && !line::Unreachable(port, session)) {
        if (start == 0) {
            start = timeGetTime();
        } else if (ElapsedSince(start, timeGetTime()) > kResendAfterMs) {
            if (SendRequest(port, request) == 0) break;
            start = 0;
        }
        LoopSleep(kCompletionPollMs);
        if (state.replies.Arrived(id)) {
            answered = true;
            LoopSleep(kReplySettleMs);
            break;
        }
        const int32_t status = state.PrinterStatusResult;
        if (status == kStatusCoverOpen || status == kStatusPaperEnd) break;
    }
    if (awaited) state.replies.Stop(id);
    state.m_OutputComplemetFlag = answered ? 1 : 0;
    state.m_bSleepFlag = 0;
    return answered;
}

}  // namespace

long OutputCompletePrinting(Port& port) {
    AwaitCompletion(port);
    return 0;
}

bool WaitForCompletePrinting(Port& port) {
    // Only a monitor sees the printer's reply: without one the wait could only end by a release.
    if (!port.state.m_bOpen || !MonitorStarted(port)) return false;
    return AwaitCompletion(port);
}

void ShutDownLine(Port& port) {
    const line::CloseIntent closing(port);
    const line::Lifecycle hold(port);
    port.releases.fetch_add(1);
    port.state.m_Terminating = 1;
    StopMonitor(port);
    ClosePort(port);
    port.state.m_bOpen = 0;
}
