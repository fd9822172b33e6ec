#include "ReadinessProbe.h"

#include "Line.h"
#include "PrinterCommands.h"
#include "StatusCodes.h"
#include "Timing.h"
#include "Transport.h"

namespace {

constexpr long kReplyWindowMs = 200;
constexpr int kReads = 4;
constexpr uint32_t kPauseMs = 100;
constexpr uint8_t kCoverOpenBit = 0x04;  // DLE EOT 2 reply
constexpr uint8_t kPaperEndBits = 0x60;  // DLE EOT 4 reply

// The reply's last byte, or -1 when the printer stays silent.
int Query(Port& port, ProbeSend send, uint32_t pauseAfterSendMs, const uint8_t (&request)[3]) {
    uint8_t reply[32] = {};
    send(port, request, sizeof request);
    if (pauseAfterSendMs != 0) LoopSleep(pauseAfterSendMs);
    for (int read = 0; read < kReads; ++read) {
        const long got = ReadPortPrv(port, reply, sizeof reply, 1, kReplyWindowMs);
        if (got > 0) return reply[got - 1];
        LoopSleep(kPauseMs);
    }
    return -1;
}

constexpr int kClaimReads = 7;
constexpr long kClaimReadWindowMs = 100;

// The claim probe's question: the last byte of the first reply within seven reads, or -1.
int ClaimQuery(Port& port, const uint8_t (&request)[3]) {
    {
        const line::CommandScope command;
        WritePort(port, request, sizeof request);
    }
    uint8_t reply[256];
    for (int i = 0; i < kClaimReads; ++i) {
        const long got = ReadPortPrv(port, reply, sizeof reply, 1, kClaimReadWindowMs);
        if (got > 0) return reply[got - 1];
    }
    return -1;
}

}  // namespace

long ReadinessProbe(Port& port, ProbeSend send, uint32_t pauseAfterSendMs) {
    const int offlineCause = Query(port, send, pauseAfterSendMs, escpos::kDleEot2);
    if (offlineCause < 0) return BRELON_ERROR_NOT_OPEN;
    if (offlineCause & kCoverOpenBit) return 1;
    const int paperSensor = Query(port, send, pauseAfterSendMs, escpos::kDleEot4);
    if (paperSensor < 0) return BRELON_ERROR_NOT_OPEN;
    if (paperSensor & kPaperEndBits) return 2;
    return BRELON_ERROR_SUCCESS;
}

long DotClaim(Port& port) {
    if (WritePort(port, escpos::kNul, sizeof escpos::kNul) == 0) return 0;
    const int offlineCause = ClaimQuery(port, escpos::kDleEot2);
    if (offlineCause < 0 || (offlineCause & kCoverOpenBit)) return 0;
    const int paperSensor = ClaimQuery(port, escpos::kDleEot4);
    if (paperSensor < 0 || (paperSensor & kPaperEndBits)) return 0;
    return 1;
}
