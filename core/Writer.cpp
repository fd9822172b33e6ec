#include "Writer.h"

#include "Port.h"
#include "PrinterState.h"
#include "StatusCodes.h"
#include "Timing.h"
#include "Trace.h"

const char* NameOf(Ended ended) {
    switch (ended) {
        case Ended::Done: return "done";
        case Ended::NoProgress: return "no-progress";
        case Ended::Reported: return "printer-report";
        case Ended::LineFailed: return "line-failed";
        case Ended::Closing: return "closing";
    }
    return "?";
}

namespace {

bool StopsFor(const Port& port, Watch watch) {
    switch (watch) {
        case Watch::Nothing:
            return false;
        case Watch::Reports: {
            // A claim (or a new monitor after a reconnection) also raises m_bOffline, only to
            // make its monitor ask the printer: that is no report of the printer's.
            const DeviceState& s = port.state;
            return (s.m_bOffline && (s.m_bCoverOpen || s.m_bPaperEmpty)) || s.m_bPrinterError;
        }
        case Watch::AnyRefusal:
            return RefusalOf(port) != Refusal::None;
    }
    return false;
}

// Hands data[done, length) over, piece by piece, for as long as the printer takes something
// within the allowance.
Ended Pump(Port& port, uint32_t session, const uint8_t* data, long length, long& done,
           const WriteMedium& m) {
    const line::Use use(port, session);
    if (!use.ok()) return Ended::Closing;
    uint32_t lastProgress = timeGetTime();
    while (done < length) {
        if (use.stopping()) return Ended::Closing;
        if (StopsFor(port, m.watch)) return Ended::Reported;
        long piece = length - done;
        if (m.chunk > 0 && piece > m.chunk) piece = m.chunk;
        const long took = m.put(port, use, data + done, piece);
        if (took > 0) {
            done += took;
            lastProgress = timeGetTime();
            if (m.afterPut != nullptr) {
                const Ended after = m.afterPut(port, use, lastProgress);
                if (after != Ended::Done) return after;
            }
            continue;
        }
        if (took < 0) return Ended::LineFailed;
        if (ElapsedSince(lastProgress, timeGetTime()) >= kNoProgressAllowanceMs) {
            return Ended::NoProgress;
        }
        m.awaitRoom(port, use);
    }
    return Ended::Done;
}

}  // namespace

long WriteJob(Port& port, const uint8_t* data, long length, const WriteMedium& m) {
    const uint32_t session = line::Session(port);
    if (!m.open(port)) return BRELON_ERROR_NOT_OPEN;
    // One writer at a time, for the whole job: nothing else lands inside its bytes.
    line::WriteTurn turn(port, session);
    if (!turn) return m.open(port) ? long{BRELON_ERROR_IO_FAIL} : long{BRELON_ERROR_NOT_OPEN};
    bool recovered = false;
    if (m.prepare != nullptr) {
        switch (m.prepare(port, turn, session)) {
            case Prepared::Nothing:
                break;
            case Prepared::Recovered:
                recovered = true;
                break;
            case Prepared::Failed:
                if (trace::On()) trace::GaveUp(port, NameOf(Ended::LineFailed), 0);
                return BRELON_ERROR_IO_FAIL;
        }
    }
    if (!recovered) {
        const Refusal refusal = RefusalOf(port);
        if (refusal != Refusal::None) {
            if (trace::On()) trace::Refused(port, NameOf(refusal));
            return BRELON_ERROR_IO_FAIL;
        }
    }
    if (length < 0) return BRELON_ERROR_IO_FAIL;
    if (length == 0) return 0;
    {
        const line::Use use(port, session);
        if (!use.ok()) return m.open(port) ? long{BRELON_ERROR_IO_FAIL} : long{BRELON_ERROR_NOT_OPEN};
        // The rest of a command of ours that went out in part goes first.
        if (!line::SettleOwed(use, m.putBytes, kNoProgressAllowanceMs)) {
            if (trace::On()) trace::GaveUp(port, "owed-command", 0);
            return m.nothingIsZero ? 0 : long{BRELON_ERROR_IO_FAIL};
        }
    }
    if (m.begin != nullptr) m.begin(port);
    long done = 0;
    bool recoveredOnce = false;
    for (;;) {
        const Ended ended = Pump(port, session, data, length, done, m);
        if (ended == Ended::Done) return length;
        if (ended == Ended::LineFailed && m.recover != nullptr && !recoveredOnce) {
            recoveredOnce = true;
            if (m.recover(port, turn, session)) continue;
        }
        // The job ends early: what the printer gets of it, exactly.
        long count = done;
        if (m.settle != nullptr) {
            const line::Use use(port, session);
            count = m.settle(port, use.ok() ? &use : nullptr, done, ended);
        }
        if (trace::On()) trace::GaveUp(port, NameOf(ended), count);
        if (count > 0 && count < length && line::InCommand()) {
            line::Owe(port, data + count, length - count);
        }
        if (m.wholeOrFail) return BRELON_ERROR_IO_FAIL;
        if (count > 0) return count;
        return m.nothingIsZero ? 0 : long{BRELON_ERROR_IO_FAIL};
    }
}
