// The parallel port transport, through the kernel's ppdev driver (/dev/parport0 on a till):
// forward data in IEEE 1284 compatibility mode, the printer's replies over the reverse channel
// in nibble mode, and the status lines (fault, busy) deciding when a write may go ahead.
//
// One descriptor serves the Java callers and the monitor at once, each negotiating the mode its
// transfer needs. Every negotiate-then-transfer pair holds the port's own small lock, so that
// one side's negotiation never changes the mode under the other's transfer.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

inline constexpr int kNoPort = -1;

struct ParPort {
    uint8_t set = 0;  // 1 once OpenPort has begun filling the record
    char portName[100] = {};
    std::atomic<int32_t> port{kNoPort};  // kNoPort unless a port is open and claimed
    // Held around every negotiate-then-transfer pair on the port (and around each transfer the
    // kernel negotiates for by itself): the Java callers and the monitor share one descriptor.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
};

struct Port;

// The port's record.
ParPort& ParallelRecord(Port& port);

long OpenPort(Port& port, const char* portName, const char* portSettings);
// 1 when the printer is online (no fault, not busy), 0 otherwise, also when a request fails.
uint8_t getOnlineStatus(Port& port);
// The count written (length unless 5 s passed without progress), or -2 when the printer has
// reported itself not ready.
long WritePort(Port& port, const uint8_t* writeBuffer, long length);
// What the printer has sent, at once: the count, or -2 (nibble mode refused, nothing waiting).
long ReadPort(Port& port, uint8_t* readBuffer, long length);
long ClosePort(Port& port);
