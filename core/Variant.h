// What differs between the four deliverables, as data. The single shared decoder, monitor,
// claim and release read one of these descriptions; each deliverable names its own.
#pragma once

#include <cstdint>

// A test on one byte of a status block: (byte & mask) == value, or, with anyBit, (byte & mask)
// has any bit set.
struct ByteTest {
    uint8_t mask;
    uint8_t value;
    bool anyBit = false;
    constexpr bool operator()(uint8_t b) const {
        return anyBit ? (b & mask) != 0 : (b & mask) == value;
    }
};

namespace bytetest {
inline constexpr ByteTest k38or3C{0xFB, 0x38};
inline constexpr ByteTest k30or34{0xFB, 0x30};
inline constexpr ByteTest k18or1C{0xFB, 0x18};
inline constexpr ByteTest k10or14{0xFB, 0x10};
inline constexpr ByteTest k10to1C{0xF3, 0x10};  // 0x10, 0x14, 0x18 or 0x1C
inline constexpr ByteTest kCoverBit{0x20, 0x20};
inline constexpr ByteTest kExactly0F{0xFF, 0x0F};
inline constexpr ByteTest kAnyPaperEndBit{0x0C, 0, true};
}  // namespace bytetest

enum class DrawerRule : uint8_t {
    AnyLow,               // opened as soon as one block start is 0x10
    MajorityTieEnables,   // more 0x10 than 0x14 opens; a tie re-sends the enable command
    MajorityTieKeeps,     // more 0x10 than 0x14 opens; a tie changes nothing
};

enum class ShortBatchRule : uint8_t {
    BelowFour,     // fewer than 4 bytes: no block
    UsbOffline,    // up to 2: none; 3 or 4 ending 3B 31 00: offline with status 0
    ParallelReady  // up to 2: none; exactly 3: ready, drawer untouched
};

struct Variant {
    const char* name;
    // Status decoding.
    ByteTest coverB1;     // thermal cover test on b1
    ByteTest paperEndB1;  // thermal paper-end test, on b1 ...
    ByteTest paperEndB3;  // ... and on b3
    DrawerRule drawer;
    ShortBatchRule shortBatch;
    bool decodeClearsPowerOff;  // every decoded state change also clears m_bPowerOFF
    // Monitor and claim.
    uint32_t idleIntervalMs;   // the monitor's polling interval when not in a fast phase
    bool fastFirstPasses;      // m_bSleepFlag is 1 during the claim's first 500 ms
    bool impactMonitor;        // an impact claim starts StatusHandlerDot
    bool impactClaimProbe;     // an impact claim first runs DotClaim
};

inline constexpr Variant kSerialVariant{
    .name = "serial",
    .coverB1 = bytetest::k38or3C,
    .paperEndB1 = bytetest::k18or1C,
    .paperEndB3 = bytetest::kExactly0F,
    .drawer = DrawerRule::AnyLow,
    .shortBatch = ShortBatchRule::BelowFour,
    .decodeClearsPowerOff = false,
    .idleIntervalMs = 500,
    // The claim returns after 500 ms: its first pass must have enabled automatic status and
    // cleared the offline flag by then, or the first write after a successful claim is refused.
    .fastFirstPasses = true,
    .impactMonitor = true,
    .impactClaimProbe = true,
};

inline constexpr Variant kEthernetVariant{
    .name = "ethernet",
    .coverB1 = bytetest::k30or34,
    .paperEndB1 = bytetest::k10or14,
    .paperEndB3 = bytetest::kExactly0F,
    .drawer = DrawerRule::MajorityTieEnables,
    .shortBatch = ShortBatchRule::BelowFour,
    .decodeClearsPowerOff = true,
    .idleIntervalMs = 500,
    .fastFirstPasses = true,
    .impactMonitor = true,
    .impactClaimProbe = false,
};

inline constexpr Variant kUsbVariant{
    .name = "usb",
    .coverB1 = bytetest::kCoverBit,
    .paperEndB1 = bytetest::k10to1C,
    .paperEndB3 = bytetest::kAnyPaperEndBit,
    .drawer = DrawerRule::MajorityTieKeeps,
    .shortBatch = ShortBatchRule::UsbOffline,
    .decodeClearsPowerOff = false,
    .idleIntervalMs = 500,
    .fastFirstPasses = true,
    .impactMonitor = true,
    .impactClaimProbe = true,
};

inline constexpr Variant kParallelVariant{
    .name = "parallel",
    .coverB1 = bytetest::k38or3C,
    .paperEndB1 = bytetest::k18or1C,
    .paperEndB3 = bytetest::kExactly0F,
    .drawer = DrawerRule::MajorityTieEnables,
    .shortBatch = ShortBatchRule::ParallelReady,
    .decodeClearsPowerOff = false,
    .idleIntervalMs = 300,
    .fastFirstPasses = false,
    .impactMonitor = false,
    .impactClaimProbe = false,
};

inline constexpr const Variant* kAllVariants[] = {&kSerialVariant, &kEthernetVariant,
                                                  &kUsbVariant, &kParallelVariant};
