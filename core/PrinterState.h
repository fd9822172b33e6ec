// The printer's report as the natives give it (status, cover, paper, offline, error, drawer,
// the network's lost link), changed only through these transitions. Each names its reason,
// which the byte trace records with every change; the monitor, the claim, the open and close and
// the writers use nothing else to change a port's report.
//
// m_bOffline has two uses, as in every deliverable: it refuses writes while the printer is
// offline, and it tells the thermal monitor to ask the printer for its state again (GS a 255) on
// its next pass. ReportOffline and OweEnable set it for the one reason and the other; the monitor
// clears it with EnableSent (thermal) or ReportOnline (a check that found the printer there).
#pragma once

#include <cstdint>

#include "StatusDecoder.h"

struct Port;

enum class Why : uint8_t {
    Block,            // a status block the printer sent
    LineDown,         // a serial line whose DSR dropped
    LineBack,         // its DSR is back
    LineGone,         // a serial line that hung up for good
    NoReverse,        // a parallel printer that refuses the reverse channel (switched off)
    Answered,         // the connection's check or read found the printer there
    NodeLost,         // a USB printer node that is gone (unplugged)
    LinkLost,         // a network connection that failed or was closed by the printer
    ReconnectFailed,  // no new network connection
    Reconnected,      // a new network connection (its monitor asks the printer first)
    Reopened,         // a USB printer node back under its path
    Claim,            // a claim: its monitor asks the printer first
    Enabled,          // the monitor's enable command went out: writes are taken again
    Open,             // a new open: nothing is known of the printer yet
    Close,            // the port is closed: nothing watches the printer
};
const char* NameOf(Why why);

// Why a write is refused now, if it is.
enum class Refusal : uint8_t { None, CoverOpen, PaperEnd, Error, Offline };
Refusal RefusalOf(const Port& port);
const char* NameOf(Refusal refusal);

namespace printer {

// What a status block (or a reply) said. A requested enable is sent through the seam and
// followed by a 100 ms pause before any word is written.
void Report(Port& port, const StatusUpdate& update, const EnableSeam& seam);
// Offline (8): writes are refused, and the monitor asks again on its next pass.
void ReportOffline(Port& port, Why why);
// A check found the printer there: writes are no longer refused for being offline.
void ReportOnline(Port& port, Why why);
// The monitor asks the printer on its next pass; writes wait for that.
void OweEnable(Port& port, Why why);
// The monitor has asked (GS a 255 went out, or its rest is owed).
void EnableSent(Port& port);
// Nothing watches the printer (an open, a close, a claim before its monitor): the last report's
// refusals are forgotten. With the drawer's state too when the port closes.
void ForgetReport(Port& port, Why why);
// A new open's probe found the printer ready: an older report must not outlive that answer.
void ReportReady(Port& port, Why why);
// The refusals as they are, to be put back when what changed them did not happen (a claim
// whose monitor could not be started).
struct Saved {
    int32_t offline, coverOpen, paperEmpty, error;
};
Saved Save(const Port& port);
void Restore(Port& port, const Saved& saved);
// The network connection is lost (thermal: flagged for the next write to reconnect first).
void LinkLost(Port& port, Why why, bool thermal);
// A new network connection took its place.
void LinkBack(Port& port);

}  // namespace printer
