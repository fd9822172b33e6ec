#include "ReadinessProbe.h"

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
int Query(ProbeSend send, uint32_t pauseAfterSendMs, const uint8_t (&request)[3]) {
    uint8_t reply[32] = {};
    send(request, sizeof request);
    if (pauseAfterSendMs != 0) LoopSleep(pauseAfterSendMs);
    for (int read = 0; read < kReads; ++read) {
        const long got = ReadPortPrv(reply, sizeof reply, 1, kReplyWindowMs);
        if (got > 0) return reply[got - 1];
        LoopSleep(kPauseMs);
    }
    return -1;
}

}  // namespace

long ReadinessProbe(ProbeSend send, uint32_t pauseAfterSendMs) {
    const int offlineCause = Query(send, pauseAfterSendMs, escpos::kDleEot2);
    if (offlineCause < 0) return BRELON_ERROR_NOT_OPEN;
    if (offlineCause & kCoverOpenBit) return 1;
    const int paperSensor = Query(send, pauseAfterSendMs, escpos::kDleEot4);
    if (paperSensor < 0) return BRELON_ERROR_NOT_OPEN;
    if (paperSensor & kPaperEndBits) return 2;
    return BRELON_ERROR_SUCCESS;
}
