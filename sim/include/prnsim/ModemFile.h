// The modem line state file read by the modem shim (libprnmodem.so / prnmodem_interpose).
//
// A pty has no modem lines: TIOCMGET on it fails with ENOTTY. The shim answers TIOCMGET for the
// devices listed in the file named by PRNSIM_MODEM_FILE, one line per device:
//     <device path> <TIOCM_* bits in hex> [outq=<bytes>]     e.g.  /dev/pts/7 0x160 outq=512
// The optional outq field stands for an output queue that does not drain (the printer stopped
// taking data): while it is present and non-zero the shim answers TIOCOUTQ with it and holds
// tcdrain. Readers skip fields they do not know, so older readers keep working.
// A parallel port's line carries "ppdev" and the port's fields after the bits (0 for a port):
//     <device path> 0x0 ppdev status=<hex> reverse=0|1 held=0|1
//     e.g.  /dev/pts/9 0x0 ppdev status=0xdf reverse=1 held=0
// status is the status lines' byte PPRSTATUS returns, reverse is 1 while the printer takes
// nibble mode (it has a reverse channel and is powered), held is 1 while someone else has the
// port claimed.
// A USB printer node's line carries "usblp" and the node's fields after the bits (0 for a node):
//     <device path> 0x0 usblp [eio=<token>] [id=<device ID>]
//     e.g.  /dev/pts/4 0x0 usblp eio=1712345678901234 id=MFG:Acme;MDL:TM%201;CMD:ESCPOS;
// The shim then applies the kernel's usblp rules to it: one open at a time, one failed read
// (EIO) each time eio changes to a new token, and LPIOC_GET_DEVICE_ID answered from id, whose
// text has "%XX" for a space, '%' and every byte outside printable ASCII. Without id the
// request fails (ENOTTY); without eio no read fails.
// Any device's line may also carry the room the host's writes have left:
//     <device path> <bits> ... room=<token>:<bytes>     e.g.  /dev/pts/7 0x160 room=17123456:1
// The shim then lets the host's writes to that device hand over at most <bytes> more bytes (a
// write that would cross the limit takes what is left), and fails every write after that with
// EAGAIN until the field is removed; each new token (a decimal number, never 0) grants its bytes
// afresh. Without the field writes pass as they are.
// The shim reads lines of at most 511 characters.
// The simulator rewrites the file atomically (temporary file, then rename) and keeps the lines
// of other devices, so several printers, also in other processes, can share one file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace prnsim {

// The lines a printer drives (TIOCM_DSR | TIOCM_CTS | TIOCM_CAR): a powered, ready printer.
constexpr unsigned kPrinterReadyModemBits = 0x100 | 0x020 | 0x040;

// One device's line in the file.
struct ModemEntry {
    unsigned bits = kPrinterReadyModemBits;
    // Bytes stuck in the device's output queue; 0: the line takes data (no field written).
    unsigned outq = 0;
    bool operator==(const ModemEntry&) const = default;
};

// The status lines of a powered, ready printer: not busy, acknowledge high, paper present,
// selected, no fault (and the three unused lines high).
constexpr uint8_t kParportReadyStatus = 0xDF;

// A parallel port's fields.
struct ParportEntry {
    uint8_t status = kParportReadyStatus;
    bool reverse = true;
    bool held = false;
    bool operator==(const ParportEntry&) const = default;
};

// A USB printer node's fields.
struct UsblpEntry {
    // The printer's IEEE 1284 device ID, e.g. "MFG:Acme;MDL:TM1;CMD:ESCPOS;"; empty: none.
    std::string deviceId;
    // The token of the read error armed last: the shim fails one read for each new one. 0:
    // none armed (no field written).
    uint64_t readError = 0;
    bool operator==(const UsblpEntry&) const = default;
};

// A line that takes only so many more bytes of the host's writes.
struct RoomEntry {
    uint64_t token = 0;  // new for every grant, never 0
    size_t bytes = 0;
    bool operator==(const RoomEntry&) const = default;
};

// The longest device ID a line carries, counted as written (a space, '%' or a byte outside
// printable ASCII takes three characters).
constexpr size_t kMaxWrittenDeviceId = 400;
// Whether a device ID fits a line.
bool deviceIdFits(const std::string& id);

// $PRNSIM_MODEM_FILE, or "" when unset.
std::string modemFileFromEnvironment();

// Sets (adds or replaces) the line of one device. False, with a reason in *error, on failure.
bool publishModemEntry(const std::string& file, const std::string& device, const ModemEntry& entry,
                       std::string* error = nullptr);
// Sets the bits of one device's line and keeps its outq field (0 for a new line).
bool publishModemLine(const std::string& file, const std::string& device, unsigned bits,
                      std::string* error = nullptr);
// Sets a parallel port's fields on one device's line and keeps its bits and outq (0 for a new
// line).
bool publishParportEntry(const std::string& file, const std::string& device,
                         const ParportEntry& entry, std::string* error = nullptr);
// Sets a USB printer node's fields on one device's line and keeps its bits and outq (0 for a new
// line). False, writing nothing, for a device ID that does not fit (deviceIdFits).
bool publishUsblpEntry(const std::string& file, const std::string& device, const UsblpEntry& entry,
                       std::string* error = nullptr);
// Sets (a room) or removes (nullopt) the room field of one device's line and keeps its other
// fields; a device without a line gets one with the bits of a ready printer.
bool publishRoom(const std::string& file, const std::string& device,
                 const std::optional<RoomEntry>& room, std::string* error = nullptr);
// Removes the line of one device; true also when there was none.
bool removeModemLine(const std::string& file, const std::string& device,
                     std::string* error = nullptr);
// The line published for a device, if any.
std::optional<ModemEntry> readModemEntry(const std::string& file, const std::string& device);
// The parallel port fields published for a device, if its line has them.
std::optional<ParportEntry> readParportEntry(const std::string& file, const std::string& device);
// The USB printer node fields published for a device, if its line has them.
std::optional<UsblpEntry> readUsblpEntry(const std::string& file, const std::string& device);
// The room published for a device, if its line has the field.
std::optional<RoomEntry> readRoom(const std::string& file, const std::string& device);
// The bits published for a device, if any.
std::optional<unsigned> readModemLine(const std::string& file, const std::string& device);

}  // namespace prnsim
