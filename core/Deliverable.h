// What one deliverable plugs into the shared core: its variant description and the few
// transport hooks the monitor, the claim and the release need. Each transport file defines
// kDeliverable; the core reads nothing else of the transport but the common operations
// declared in Transport.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "StatusDecoder.h"
#include "Variant.h"

// The result of the monitor's connection check.
enum class LineState : uint8_t {
    CheckFailed,  // the check itself failed: not an offline signal
    Online,
    Offline,
};

// What the monitor does with a batch it read.
enum class ReadOutcome : uint8_t {
    Decode,     // hand the batch to the decoder (a count of 0 or less: nothing came this pass)
    EndThread,  // the connection is gone: the monitor ends
    Reopen,     // the connection is gone but can come back (a printer node unplugged): the
                // monitor opens it again with openAgain, once a second, until it is back
    Gone,       // the connection is gone for good (the far end of a serial line has gone):
                // the status says offline, and waits for the printer's answer give up
};

struct BatchRead {
    long n;  // bytes read, or 0 or less for none
    ReadOutcome outcome;
};

// What openAgain found.
enum class Reopened : uint8_t {
    Back,           // the node is there again, and it is our printer: fd is its descriptor
    NotYet,         // nothing there yet, or not openable now
    HeldStillWorks, // the node refuses a second open (it allows one at a time), and the
                    // descriptor still held works: the connection was never lost
    OtherPrinter,   // a node is there, but it gives another printer's device ID
};

struct MonitorHooks {
    // Connection check before each read; nullptr when the connection has none.
    LineState (*checkLine)(int fd);
    // An offline line is waited out inside the pass (true), or only flagged (false).
    bool waitOutOffline;
    // The far end of the line has gone for good (a serial line hung up); nullptr when it never
    // goes that way. Asked while an offline line is waited out.
    bool (*lineGone)(int fd);
    // Reads one batch of at most length bytes and judges it.
    BatchRead (*readBatch)(int fd, uint8_t* buffer, long length, DecodeMode mode);
    // Opens the lost connection again (read-write, non-blocking); held is the descriptor still
    // held for it. The monitor puts a node that is Back under the lost one's number (Line.h).
    // nullptr when readBatch never asks for a reopen.
    Reopened (*openAgain)(int held, int* fd);
};

struct Deliverable {
    const Variant& variant;
    MonitorHooks monitor;
    // One attempt to hand bytes to the line without waiting (line::PutBytes): how the monitor's
    // commands, and the rest of a command that went out in part, reach the printer.
    long (*putBytes)(int fd, const uint8_t* data, long length);
    // The word of the transport's port record that holds the line's descriptor (-1 when none).
    // Only the line's owner (Line.h) writes it.
    std::atomic<int32_t>* descriptor;
    // Run on the descriptor when it is retired, to cut short a user's wait; nullptr for none.
    void (*retireWake)(int fd);
    // Run by release after the monitor was told to stop and before the release wait
    // (the network deliverable wakes its monitor's receive); nullptr for none.
    void (*releaseWake)();
    uint32_t releaseWaitMs;
    // Run by _claim before anything else (the network deliverable records the mode).
    void (*recordClaimMode)(int isThermal);
};

extern const Deliverable kDeliverable;
