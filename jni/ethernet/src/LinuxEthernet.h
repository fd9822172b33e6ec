// The network transport: one TCP connection per port to a printer at a numeric IPv4 address,
// with a one-second connect, a readiness probe, and reconnection (which restarts the port's
// status monitor) driven by the writer.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

inline constexpr int kNoSocket = -1;

struct NETPort {
    std::atomic<uint8_t> set{0};  // 1 once OpenPort has filled the record; the writer reads it
    char portName[100] = {};
    char RealIP[64] = {};
    std::atomic<int> sock{kNoSocket};  // kNoSocket unless a connection's socket is open
    int portnum = 0;
};

// One port's connection records.
struct NetworkPort {
    NETPort netPort;    // the live connection
    NETPort ReNetPort;  // snapshot taken once per open, kept in step on reconnection
    std::atomic<int> isThermal{0};  // mode of the last _claim: 1 thermal, 0 impact
};

struct Port;

NetworkPort& NetworkRecord(Port& port);

long OpenPort(Port& port, const char* portName, const char* portSettings);
// The writer's reconnection: a new connection and a new monitor on it. WritePort calls it with
// the old connection closed and its monitor joined.
long ReOpenPort(Port& port);
long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(Port& port, uint8_t* readBuffer, long length);
long WritePort(Port& port, const uint8_t* writeBuffer, long length);
long ClosePort(Port& port);
