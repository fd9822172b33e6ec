// The USB transport: the printer-class device node (/dev/usb/lp0 on a till), opened read-write
// and non-blocking. No line to configure; a readiness probe at open, then plain writes and
// reads. While a claim watches the printer, the monitor reopens a node that was unplugged and
// puts it back under the same descriptor number.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int kNoNode = -1;

// Device paths must fit the monitor's copy: 79 characters at most.
inline constexpr size_t kNodePathRoom = 80;

// The printer's IEEE 1284 device ID as the node gives it (two bytes of big-endian length, then
// the text), cut to this many bytes.
inline constexpr size_t kDeviceIdRoom = 1024;

struct USBPort {
    uint8_t set = 0;  // 1 once OpenPort has filled the record
    char portName[100] = {};
    std::atomic<int32_t> port{kNoNode};  // kNoNode unless a node is open
    // The device ID read at open; deviceIdLength 0 when the node gave none.
    uint8_t deviceId[kDeviceIdRoom] = {};
    size_t deviceIdLength = 0;
};

struct Port;

// The port's record.
USBPort& UsbRecord(Port& port);

long OpenPort(Port& port, const char* portName);
long ClosePort(Port& port);
// Short commands (status requests, the drawer kick, the completion request): 64 bytes at a
// time, the whole command or -2.
long WritePort(Port& port, const uint8_t* writeBuffer, long length);
// Print data: 1024 bytes at a time; the count written. Timeout is not used.
long WritePortTimeout(Port& port, const uint8_t* writeBuffer, long length, long Timeout);
long ReadPortPrv(Port& port, uint8_t* readBuffer, long length, long minLength, long timeMillis);
long ReadPort(Port& port, uint8_t* readBuffer, long length);
