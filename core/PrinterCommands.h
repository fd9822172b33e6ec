// The fixed ESC/POS commands the library sends of its own accord.
#pragma once

#include <array>
#include <cstdint>

namespace escpos {

// DLE EOT n, real-time status: answered at once, ahead of buffered print data.
inline constexpr uint8_t kDleEot2[3] = {0x10, 0x04, 0x02};  // offline cause
inline constexpr uint8_t kDleEot4[3] = {0x10, 0x04, 0x04};  // roll paper sensor
// GS a 255: automatic status back for every item; the printer answers with a 4-byte block
// now and on every change.
inline constexpr uint8_t kEnableAutoStatus[3] = {0x1D, 0x61, 0xFF};
// GS ( H fn 48 with the identifier d1 d2 d3 d4: answered 37 22 d1 d2 d3 d4 00 once everything
// before it has been printed. Each completion wait asks with an identifier of its own, whose
// last byte is always 'F'.
inline std::array<uint8_t, 11> ProcessIdRequest(const uint8_t (&id)[4]) {
    return {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, id[0], id[1], id[2], id[3]};
}
// A lone NUL: harmless to the printer, tells whether the line takes data at all.
inline constexpr uint8_t kNul[1] = {0x00};

// ESC p m t1 t2: a pulse on drawer pin 2 (m 0x30) or pin 5 (m 0x31), t1 x 2 ms on and
// t2 x 2 ms off.
inline constexpr uint8_t kDrawerPin2 = 0x30;
inline constexpr uint8_t kDrawerPin5 = 0x31;
inline std::array<uint8_t, 5> DrawerKick(uint8_t pinCode, long onMillis, long offMillis) {
    return {0x1B, 0x70, pinCode, static_cast<uint8_t>(onMillis / 2),
            static_cast<uint8_t>(offMillis / 2)};
}

}  // namespace escpos
