// The serial line transport: one serial device per process, opened with a settings text of
// five comma-separated fields (rate, parity, data bits, stop bits, flow control).
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceState.h"
#include "SerialSettings.h"

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

long OpenPort(const char* portName, const char* portSettings);
long serConfigurePort(uint8_t saveSettings, const SerPortSettings& settings);
long ReadPortPrv(uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(uint8_t* readBuffer, long length);
long WritePort(const uint8_t* writeBuffer, long length);
long ClosePort();
