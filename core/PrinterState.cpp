#include "PrinterState.h"

#include "Port.h"
#include "StatusCodes.h"
#include "Trace.h"

const char* NameOf(Why why) {
    switch (why) {
        case Why::Block: return "block";
        case Why::LineDown: return "line-down";
        case Why::LineBack: return "line-back";
        case Why::LineGone: return "line-gone";
        case Why::NoReverse: return "no-reverse-channel";
        case Why::Answered: return "answered";
        case Why::NodeLost: return "node-lost";
        case Why::LinkLost: return "link-lost";
        case Why::ReconnectFailed: return "reconnect-failed";
        case Why::Reconnected: return "reconnected";
        case Why::Reopened: return "reopened";
        case Why::Claim: return "claim";
        case Why::Enabled: return "enabled";
        case Why::Open: return "open";
        case Why::Close: return "close";
    }
    return "?";
}

Refusal RefusalOf(const Port& port) {
    const DeviceState& s = port.state;
    if (s.m_bCoverOpen) return Refusal::CoverOpen;
    if (s.m_bPaperEmpty) return Refusal::PaperEnd;
    if (s.m_bPrinterError) return Refusal::Error;
    if (s.m_bOffline) return Refusal::Offline;
    return Refusal::None;
}

const char* NameOf(Refusal refusal) {
    switch (refusal) {
        case Refusal::None: return "none";
        case Refusal::CoverOpen: return "cover-open";
        case Refusal::PaperEnd: return "paper-end";
        case Refusal::Error: return "printer-error";
        case Refusal::Offline: return "offline";
    }
    return "?";
}

namespace printer {
namespace {

// The status and the refusal as they were, to trace what a transition changed.
struct Before {
    explicit Before(const Port& port)
        : status(port.state.PrinterStatusResult.load()), refusal(RefusalOf(port)) {}
    int32_t status;
    Refusal refusal;
};

void TraceChange(Port& port, const Before& before, Why why) {
    if (!trace::On()) return;
    const int32_t status = port.state.PrinterStatusResult.load();
    const Refusal refusal = RefusalOf(port);
    if (status != before.status || refusal != before.refusal) {
        trace::State(port, status, NameOf(refusal), NameOf(why));
    }
}

}  // namespace

void Report(Port& port, const StatusUpdate& update, const EnableSeam& seam) {
    const Before before(port);
    ApplyStatusUpdate(port.state, update, seam);
    TraceChange(port, before, Why::Block);
}

void ReportOffline(Port& port, Why why) {
    const Before before(port);
    // The refusal first: a caller that sees 8 and writes at once is refused at once.
    port.state.m_bOffline = 1;
    port.state.PrinterStatusResult = kStatusOffline;
    TraceChange(port, before, why);
}

void ReportOnline(Port& port, Why why) {
    const Before before(port);
    port.state.m_bOffline = 0;
    TraceChange(port, before, why);
}

void OweEnable(Port& port, Why why) {
    const Before before(port);
    port.state.m_bOffline = 1;
    TraceChange(port, before, why);
}

void EnableSent(Port& port) {
    const Before before(port);
    port.state.m_bOffline = 0;
    TraceChange(port, before, Why::Enabled);
}

void ForgetReport(Port& port, Why why) {
    DeviceState& s = port.state;
    s.m_bCoverOpen = 0;
    s.m_bPaperEmpty = 0;
    s.m_bOffline = 0;
    s.m_bPrinterError = 0;
    // A claim keeps a lost network link to be made again by the next write.
    if (why != Why::Claim) s.m_bPowerOFF = 0;
    if (why == Why::Close) s.m_DrawerOpened = 0;
}

void ReportReady(Port& port, Why why) {
    const Before before(port);
    port.state.PrinterStatusResult = kStatusReady;
    TraceChange(port, before, why);
}

Saved Save(const Port& port) {
    const DeviceState& s = port.state;
    return Saved{s.m_bOffline, s.m_bCoverOpen, s.m_bPaperEmpty, s.m_bPrinterError};
}

void Restore(Port& port, const Saved& saved) {
    DeviceState& s = port.state;
    s.m_bOffline = saved.offline;
    s.m_bCoverOpen = saved.coverOpen;
    s.m_bPaperEmpty = saved.paperEmpty;
    s.m_bPrinterError = saved.error;
}

void LinkLost(Port& port, Why why, bool thermal) {
    const Before before(port);
    if (thermal) {
        port.state.m_bOffline = 1;
        port.state.m_bPowerOFF = 1;
    }
    port.state.PrinterStatusResult = kStatusOffline;
    TraceChange(port, before, why);
}

void LinkBack(Port& port) { port.state.m_bPowerOFF = 0; }

}  // namespace printer
