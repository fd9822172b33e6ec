// The network transport: one TCP connection to a printer at a numeric IPv4 address, with a
// one-second connect, a readiness probe, and reconnection (which restarts the status monitor)
// driven by the writer.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "DeviceState.h"

inline constexpr int kNoSocket = -1;

struct NETPort {
    std::atomic<uint8_t> set;  // 1 once OpenPort has filled the record; the writer reads it
    char portName[100];
    char RealIP[64];
    std::atomic<int> sock;  // kNoSocket unless a connection's socket is open
    int portnum;
};

extern NETPort netPort;    // the live connection
extern NETPort ReNetPort;  // snapshot taken once per open, kept in step on reconnection
extern std::atomic<int> isThermal;  // mode of the last _claim: 1 thermal, 0 impact

// The run flag of this deliverable's status monitor.
inline StateWord& NStopIt = g_MonitorRun;

long OpenPort(const char* portName, const char* portSettings);
// The writer's reconnection: a new connection and a new monitor on it. WritePort calls it with
// the old connection closed and its monitor joined.
long ReOpenPort();
long ReadPortPrv(uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(uint8_t* readBuffer, long length);
long WritePort(const uint8_t* writeBuffer, long length);
long ClosePort();
