#include "StatusDecoder.h"

#include "DeviceState.h"
#include "StatusCodes.h"
#include "Timing.h"

namespace {

constexpr uint8_t kReplyStart = 0x37;  // '7', first byte of the process-ID reply
constexpr uint8_t kReplySecond = 0x22;
constexpr uint8_t kReplyIdByte = 0x46; // 'F', the last identifier byte of every request
constexpr uint8_t kReadyDrawerLow = 0x10;
constexpr uint8_t kReadyDrawerHigh = 0x14;
constexpr uint8_t kCoverBit = 0x20;
constexpr uint8_t kOfflineBit = 0x08;
constexpr uint8_t kDrawerBit = 0x04;
constexpr uint8_t kPaperEndBits = 0x0C;
constexpr uint8_t kNearEndBits = 0x03;
// Byte 2 of a block: waiting for online recovery (bit 0), recoverable error (bit 2), autocutter
// error (bit 3), unrecoverable error (bit 5), automatically recoverable error (bit 6). Bit 1, the
// feed button, is no error.
constexpr uint8_t kErrorBits = 0x6D;
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

// The first byte of a status block has the shape 0xx1xx00, the other three 0xx0xxxx: what tells a
// block from a DLE EOT reply (0xx1xx10), XON, XOFF and a process-ID reply in the stream.
bool IsBlockStart(uint8_t b) { return (b & 0x93) == 0x10; }
bool IsBlockFollower(uint8_t b) { return (b & 0x90) == 0; }
bool BlockShaped(const Block& k) {
    return IsBlockStart(k.b1) && IsBlockFollower(k.b2) && IsBlockFollower(k.b3) &&
           IsBlockFollower(k.b4);
}

// A printer that follows the public command reference sets the offline bit with the cover bit,
// with paper end, and with every error: cover open 38/3C, paper out 18/1C with 0C or 0F, a cutter
// jam 18 08. Each deliverable's own encodings stay as they are beside these.
bool ReferenceCoverOpen(const Block& k) {
    return BlockShaped(k) && (k.b1 & (kCoverBit | kOfflineBit)) == (kCoverBit | kOfflineBit);
}
bool ReferencePaperEnd(const Block& k) {
    return BlockShaped(k) && (k.b1 & kOfflineBit) != 0 && (k.b3 & kPaperEndBits) != 0;
}
bool ReferenceError(const Block& k) {
    return BlockShaped(k) && (k.b1 & kOfflineBit) != 0 && (k.b2 & kErrorBits) != 0;
}

constexpr int kReplyLength = 7;  // 37 22 d1 d2 d3 d4 00

bool Printable(uint8_t b) { return b >= 0x20 && b <= 0x7E; }

// How many of the reply's bytes at the start of bytes[0, n) are what a reply holds there.
int ReplyPrefix(const uint8_t* bytes, int n) {
    int i = 0;
    for (; i < n && i < kReplyLength; ++i) {
        const uint8_t b = bytes[i];
        const bool fits = i == 0   ? b == kReplyStart
                          : i == 1 ? b == kReplySecond
                          : i == 6 ? b == 0x00
                                   : Printable(b);
        if (!fits) break;
    }
    return i;
}

// The reply as the batch's last seven bytes, as far as a status block is concerned: its tail
// 46 46 46 00 would read as paper end in impact mode.
bool EndsWithReply(const uint8_t* batch, int n) {
    return n >= kReplyLength && batch[n - kReplyLength] == kReplyStart &&
           batch[n - 2] == kReplyIdByte;
}

// The identifier of the last whole reply in the batch.
ReplyId LastReply(const uint8_t* batch, int n) {
    ReplyId last = kNoReply;
    for (int i = 0; i + kReplyLength <= n; ++i) {
        const ReplyId id = ReplyIdAt(batch + i);
        if (id != kNoReply) {
            last = id;
            i += kReplyLength - 1;
        }
    }
    return last;
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
    const bool coverOpen = v.coverB1(k.b1) || ReferenceCoverOpen(k);
    if (NormalShape(k)) {
        if (IsReadyB1(k.b1)) {
            DecideDrawer(v, batch, n, u);
            SetCondition(v, PrinterCondition::Ready, u);
        } else if (coverOpen) {
            SetCondition(v, PrinterCondition::CoverOpen, u);
        }
        return;
    }
    if (coverOpen) {
        SetCondition(v, PrinterCondition::CoverOpen, u);
    } else if ((v.paperEndB3(k.b3) && v.paperEndB1(k.b1)) || ReferencePaperEnd(k)) {
        SetCondition(v, PrinterCondition::PaperEnd, u);
    } else if (ReferenceError(k)) {
        SetCondition(v, PrinterCondition::Error, u);
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
    } else if (ReferenceError(k)) {
        SetCondition(v, PrinterCondition::Error, u);
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
    u.error = 0;
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
        case PrinterCondition::Error:
            u.coverOpen = 0, u.paperEmpty = 0, u.offline = 1, u.status = kStatusOffline;
            u.error = 1;
            break;
    }
    if (v.decodeClearsPowerOff) u.clearPowerOff = true;
}

ReplyId ReplyIdAt(const uint8_t* reply) {
    if (ReplyPrefix(reply, kReplyLength) != kReplyLength || reply[5] != kReplyIdByte) {
        return kNoReply;
    }
    return static_cast<ReplyId>(reply[2]) << 16 | static_cast<ReplyId>(reply[3]) << 8 | reply[4];
}

void ReplyIdBytes(ReplyId id, uint8_t (&bytes)[4]) {
    bytes[0] = static_cast<uint8_t>(id >> 16);
    bytes[1] = static_cast<uint8_t>(id >> 8);
    bytes[2] = static_cast<uint8_t>(id);
    bytes[3] = kReplyIdByte;
}

StatusUpdate DecodeBatch(const Variant& v, DecodeMode mode, const uint8_t* batch, int n) {
    StatusUpdate u;
    if (n <= 0 || batch == nullptr) return u;
    u.reply = LastReply(batch, n);
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

int SplitMessages::UnfinishedFrom(const uint8_t* bytes, int n) {
    int i = 0;
    while (i < n) {
        const int left = n - i;
        if (bytes[i] == kReplyStart) {
            const int fits = ReplyPrefix(bytes + i, left);
            if (fits == kReplyLength) {
                i += kReplyLength;
                continue;
            }
            if (fits == left) return i;  // a reply whose end has not come yet
        } else if (IsBlockStart(bytes[i])) {
            int fits = 1;
            while (fits < 4 && fits < left && IsBlockFollower(bytes[i + fits])) ++fits;
            if (fits == 4) {
                i += 4;
                continue;
            }
            if (fits == left) return i;  // a block whose end has not come yet
        }
        ++i;  // a DLE EOT reply, XON or XOFF, or a byte that starts nothing
    }
    return n;
}

int SplitMessages::Join(const uint8_t* batch, int n, uint8_t (&joined)[kMaxJoined]) {
    if (n <= 0 || batch == nullptr) return 0;
    if (n > kMaxJoined - kept_) n = kMaxJoined - kept_;
    for (int i = 0; i < kept_; ++i) joined[i] = tail_[i];
    for (int i = 0; i < n; ++i) joined[kept_ + i] = batch[i];
    const int total = kept_ + n;
    const int whole = UnfinishedFrom(joined, total);
    kept_ = total - whole;
    for (int i = 0; i < kept_; ++i) tail_[i] = joined[whole + i];
    return whole;
}

void ApplyStatusUpdate(DeviceState& state, const StatusUpdate& u, const EnableSeam& seam) {
    if (u.reply != kNoReply && state.replies.Note(u.reply)) state.m_OutputComplemetFlag = 1;
    if (u.resendEnable) {
        if (seam.send != nullptr) seam.send(seam.context);
        LoopSleep(100);
    }
    if (u.drawerOpened) state.m_DrawerOpened = *u.drawerOpened;
    if (u.coverOpen) state.m_bCoverOpen = *u.coverOpen;
    if (u.paperEmpty) state.m_bPaperEmpty = *u.paperEmpty;
    if (u.offline) state.m_bOffline = *u.offline;
    if (u.error) state.m_bPrinterError = *u.error;
    if (u.status) state.PrinterStatusResult = *u.status;
    if (u.clearPowerOff) state.m_bPowerOFF = 0;
}
