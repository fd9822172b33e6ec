// The serial settings text of the Java side: five comma-separated fields (rate, parity, data
// bits, stop bits, flow control), or a bare rate that the bridge completes. Pure: no line, no
// state.
#pragma once

#include <cstddef>
#include <cstdint>

struct SerPortSettings {
    int64_t baud;         // 2400 ... 115200; 0 leaves the speed unchanged
    char parity;          // 'n', 'e', 'o'; 0 leaves parity unchanged
    uint8_t dataBits;     // 7 or 8; 0 leaves the character size unchanged
    uint8_t stopBits;     // 1 or 2; 0 leaves the stop bits unchanged
    char flowControl;     // 'n' none, 'h' DTR/DSR handshake; 0 leaves it unchanged
};

// Parses a settings text; BRELON_ERROR_SUCCESS or BRELON_ERROR_NOT_AVAILABLE.
long ParseSerialSettings(const char* text, SerPortSettings& settings);

// The settings text the Java side gave, as the open uses it, into out (size bytes): a text with
// a comma unchanged, a bare rate completed with no parity, 8 data bits, 1 stop bit and the
// DTR/DSR handshake. BRELON_ERROR_NOT_AVAILABLE when it does not fit.
long CompleteSettingsText(const char* text, char* out, size_t size);
