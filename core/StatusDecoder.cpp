#include "StatusDecoder.h"

#include "DeviceState.h"
#include "StatusCodes.h"
#include "Timing.h"

namespace {

constexpr uint8_t kReplyStart = 0x37;  // '7', first byte of the process-ID reply
constexpr uint8_t kReplyIdByte = 0x46; // 'F', the identifier bytes we ask for
constexpr uint8_t kReadyDrawerLow = 0x10;
constexpr uint8_t kReadyDrawerHigh = 0x14;
constexpr uint8_t kCoverBit = 0x20;
constexpr uint8_t kDrawerBit = 0x04;
constexpr uint8_t kPaperEndBits = 0x0C;
constexpr uint8_t kNearEndBits = 0x03;
constexpr uint8_t kShortOfflineReply[] = {0x3B, 0x31, 0x00};

struct Block {
    uint8_t b1, b2, b3, b4;
};

bool NormalShape(const Block& k) {
    if (k.b2 != 0) return false;
    return (k.b3 == 0x00 && k.b4 == 0x00) || (k.b3 == 0x00 && k.b4 == 0x0F) ||
           (k.b3 == 0x03 && k.b4 == 0x0F);
}

bool IsReadyB1(uint8_t b1) { return b1 == kReadyDrawerLow || b1 == kReadyDrawerHigh; }

constexpr int kReplyLength = 7;  // 37 22 d1 d2 d3 d4 00

// The reply as the batch's last seven bytes (the second detection rule).
bool EndsWithReply(const uint8_t* batch, int n) {
    return n >= kReplyLength && batch[n - kReplyLength] == kReplyStart &&
           batch[n - 2] == kReplyIdByte;
}

bool ProcessIdSeen(const uint8_t* batch, int n) {
    if (n > 10 && batch[0] == kReplyStart && batch[5] == kReplyIdByte) return true;
    return n > 6 && EndsWithReply(batch, n);
}

// Block starts n-4, n-8, ... down to the first index of 3 or less.
template <typename Visit>
void ScanBlockStarts(const uint8_t* batch, int n, Visit visit) {
    for (int i = n - 4;; i -= 4) {
        if (!visit(batch[i])) return;
        if (i <= 3) return;
    }
}

void DecideDrawer(const Variant& v, const uint8_t* batch, int n, StatusUpdate& u) {
    if (v.drawer == DrawerRule::AnyLow) {
        bool low = false;
        ScanBlockStarts(batch, n, [&](uint8_t b) {
            low = b == kReadyDrawerLow;
            return !low;
        });
        u.drawerOpened = low ? 1 : 0;
        return;
    }
    int lows = 0;
    int highs = 0;
    ScanBlockStarts(batch, n, [&](uint8_t b) {
        lows += b == kReadyDrawerLow;
        highs += b == kReadyDrawerHigh;
        return true;
    });
    if (lows > highs) {
        u.drawerOpened = 1;
    } else if (highs > lows) {
        u.drawerOpened = 0;
    } else if (v.drawer == DrawerRule::MajorityTieEnables) {
        u.resendEnable = true;
    }
}

void DecodeThermal(const Variant& v, const uint8_t* batch, int n, StatusUpdate& u) {
    const Block k{batch[n - 4], batch[n - 3], batch[n - 2], batch[n - 1]};
    if (NormalShape(k)) {
        if (IsReadyB1(k.b1)) {
            DecideDrawer(v, batch, n, u);
            SetCondition(v, PrinterCondition::Ready, u);
        } else if (v.coverB1(k.b1)) {
            SetCondition(v, PrinterCondition::CoverOpen, u);
        }
        return;
    }
    if (v.coverB1(k.b1)) {
        SetCondition(v, PrinterCondition::CoverOpen, u);
    } else if (v.paperEndB3(k.b3) && v.paperEndB1(k.b1)) {
        SetCondition(v, PrinterCondition::PaperEnd, u);
    } else if (k.b3 == kNearEndBits && IsReadyB1(k.b1)) {
        SetCondition(v, PrinterCondition::NearEnd, u);
    }
}

void DecodeImpact(const Variant& v, const uint8_t* batch, int n, StatusUpdate& u) {
    const Block k{batch[n - 4], batch[n - 3], batch[n - 2], batch[n - 1]};
    if (NormalShape(k)) {
        if ((k.b1 & kCoverBit) == 0) {
            u.drawerOpened = (k.b1 & kDrawerBit) == 0 ? 1 : 0;
            SetCondition(v, PrinterCondition::Ready, u);
        } else {
            SetCondition(v, PrinterCondition::CoverOpen, u);
        }
        return;
    }
    if (k.b1 & kCoverBit) {
        SetCondition(v, PrinterCondition::CoverOpen, u);
    } else if (k.b3 & kPaperEndBits) {
        SetCondition(v, PrinterCondition::PaperEnd, u);
    } else if (k.b3 & kNearEndBits) {
        SetCondition(v, PrinterCondition::NearEnd, u);
    }
}

bool EndsWithShortOfflineReply(const uint8_t* batch, int n) {
    const uint8_t* tail = batch + n - 3;
    return tail[0] == kShortOfflineReply[0] && tail[1] == kShortOfflineReply[1] &&
           tail[2] == kShortOfflineReply[2];
}

// The short-batch rule; true when a block remains to be decoded.
bool ApplyShortBatchRule(const Variant& v, const uint8_t* batch, int n, StatusUpdate& u) {
    switch (v.shortBatch) {
        case ShortBatchRule::BelowFour:
            return n >= 4;
        case ShortBatchRule::UsbOffline:
            if (n <= 2) return false;
            if (n <= 4 && EndsWithShortOfflineReply(batch, n)) {
                u.offline = 1;
                u.status = kStatusReady;
            }
            return n >= 4;
        case ShortBatchRule::ParallelReady:
            if (n <= 2) return false;
            if (n == 3) {
                SetCondition(v, PrinterCondition::Ready, u);
                return false;
            }
            return true;
    }
    return false;
}

}  // namespace

void SetCondition(const Variant& v, PrinterCondition c, StatusUpdate& u) {
    switch (c) {
        case PrinterCondition::Ready:
            u.coverOpen = 0, u.paperEmpty = 0, u.offline = 0, u.status = kStatusReady;
            break;
        case PrinterCondition::CoverOpen:
            u.coverOpen = 1, u.paperEmpty = 0, u.offline = 1, u.status = kStatusCoverOpen;
            break;
        case PrinterCondition::PaperEnd:
            u.coverOpen = 0, u.paperEmpty = 1, u.offline = 1, u.status = kStatusPaperEnd;
            break;
        case PrinterCondition::NearEnd:
            u.coverOpen = 0, u.paperEmpty = 0, u.offline = 0, u.status = kStatusPaperNearEnd;
            break;
    }
    if (v.decodeClearsPowerOff) u.clearPowerOff = true;
}

StatusUpdate DecodeBatch(const Variant& v, DecodeMode mode, const uint8_t* batch, int n) {
    StatusUpdate u;
    if (n <= 0 || batch == nullptr) return u;
    u.outputComplete = ProcessIdSeen(batch, n);
    // A batch that ends with the reply has no status block at its end: the reply's last four
    // bytes (46 46 46 00) would read as paper end in impact mode. A block before the reply (or
    // before two replies to a repeated request) is the printer's last report and is decoded.
    while (EndsWithReply(batch, n)) n -= kReplyLength;
    if (n <= 0 || !ApplyShortBatchRule(v, batch, n, u)) return u;
    if (mode == DecodeMode::Thermal) {
        DecodeThermal(v, batch, n, u);
    } else {
        DecodeImpact(v, batch, n, u);
    }
    return u;
}

void ApplyStatusUpdate(const StatusUpdate& u, const EnableSeam& seam) {
    if (u.outputComplete) m_OutputComplemetFlag = 1;
    if (u.resendEnable) {
        if (seam.send != nullptr) seam.send(seam.context);
        LoopSleep(100);
    }
    if (u.drawerOpened) m_DrawerOpened = *u.drawerOpened;
    if (u.coverOpen) m_bCoverOpen = *u.coverOpen;
    if (u.paperEmpty) m_bPaperEmpty = *u.paperEmpty;
    if (u.offline) m_bOffline = *u.offline;
    if (u.status) PrinterStatusResult = *u.status;
    if (u.clearPowerOff) m_bPowerOFF = 0;
}
