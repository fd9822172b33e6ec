// What one deliverable plugs into the shared core: its variant description and the few
// transport hooks the monitor, the claim and the release need, each handed the port it acts on.
// Each transport file defines kDeliverable; the core reads nothing else of the transport but the
// common operations declared in Transport.h. All fields are mandatory, except ones explicitly
// noted as optional.
#pragma once

#include <atomic>
#include <cstdint>

#include "StatusDecoder.h"
#include "Variant.h"

struct Port;

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
    // Optional: the connection check before each read; nullptr when the connection has none.
    LineState (*checkLine)(Port& port, int fd);
    // An offline line is waited out inside the pass (true), or only flagged (false).
    bool waitOutOffline;
    // Optional: the far end of the line has gone for good (a serial line hung up); nullptr when
    // it never goes that way. Asked while an offline line is waited out.
    bool (*lineGone)(Port& port, int fd);
    // Reads one batch of at most length bytes and judges it.
    BatchRead (*readBatch)(Port& port, int fd, uint8_t* buffer, long length, DecodeMode mode);
    // Optional: opens the lost connection again (read-write, non-blocking); held is the
    // descriptor still held for it. The monitor puts a node that is Back under the lost one's
    // number (Line.h). nullptr when readBatch never asks for a reopen.
    Reopened (*openAgain)(Port& port, int held, int* fd);
};

struct Deliverable {
    const Variant& variant;
    MonitorHooks monitor;
    // One attempt to hand bytes to the line without waiting (line::PutBytes): how the monitor's
    // commands, and the rest of a command that went out in part, reach the printer.
    long (*putBytes)(Port& port, int fd, const uint8_t* data, long length);
    // The word of the port's transport record that holds the line's descriptor (-1 when none).
    // Only the line's owner (Line.h) writes it.
    std::atomic<int32_t>& (*descriptor)(Port& port);
    // Optional: run on the descriptor when it is retired, to cut short a user's wait.
    void (*retireWake)(Port& port, int fd);
    // Optional: run by release after the monitor was told to stop and before the release wait
    // (the network deliverable wakes its monitor's receive).
    void (*releaseWake)(Port& port);
    uint32_t releaseWaitMs;
    // Optional: run by _claim before anything else (the network deliverable records the mode).
    void (*recordClaimMode)(Port& port, int isThermal);
};

extern const Deliverable kDeliverable;
