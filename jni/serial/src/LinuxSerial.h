// The serial line transport: one serial device per process, opened with a settings text of
// five comma-separated fields (rate, parity, data bits, stop bits, flow control).
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceState.h"

struct SerPortSettings {
    int64_t baud;         // 2400 ... 115200; 0 leaves the speed unchanged
    char parity;          // 'n', 'e', 'o'; 0 leaves parity unchanged
    uint8_t dataBits;     // 7 or 8; 0 leaves the character size unchanged
    uint8_t stopBits;     // 1 or 2; 0 leaves the stop bits unchanged
    char flowControl;     // 'n' none, 'h' DTR/DSR handshake; 0 leaves it unchanged
};

inline constexpr int kNoDescriptor = -1;

struct SerPort {
    uint8_t set;
    char portName[100];
    char portSettings[100];
    std::atomic<int32_t> port;  // kNoDescriptor unless OpenPort opened it and it is still open
    SerPortSettings originalPortSettings;
};

extern SerPort serPort;

// The run flag of this deliverable's status monitor.
inline StateWord& SStopIt = g_MonitorRun;

// Parses a settings text; BRELON_ERROR_SUCCESS or BRELON_ERROR_NOT_AVAILABLE.
long ParseSerialSettings(const char* text, SerPortSettings& settings);

long OpenPort(const char* portName, const char* portSettings);
long serConfigurePort(uint8_t saveSettings, const SerPortSettings& settings);
long ReadPortPrv(uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(uint8_t* readBuffer, long length);
long WritePort(const uint8_t* writeBuffer, long length);
long ClosePort();
