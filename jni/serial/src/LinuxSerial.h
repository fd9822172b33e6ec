// The serial line transport: one serial device per port, opened with a settings text of five
// comma-separated fields (rate, parity, data bits, stop bits, flow control).
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceState.h"
#include "SerialSettings.h"

inline constexpr int kNoDescriptor = -1;

struct SerPort {
    uint8_t set = 0;
    char portName[100] = {};
    char portSettings[100] = {};
    // kNoDescriptor unless OpenPort opened it and it is still open
    std::atomic<int32_t> port{kNoDescriptor};
    SerPortSettings originalPortSettings = {};
    // What the writers read of the settings, while an open or close may be changing the record.
    std::atomic<int64_t> baud{0};
    std::atomic<bool> handshake{false};
};

struct Port;

// The port's record.
SerPort& SerialRecord(Port& port);

long OpenPort(Port& port, const char* portName, const char* portSettings);
long serConfigurePort(Port& port, uint8_t saveSettings, const SerPortSettings& settings);
long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(Port& port, uint8_t* readBuffer, long length);
long WritePort(Port& port, const uint8_t* writeBuffer, long length);
long ClosePort(Port& port);
