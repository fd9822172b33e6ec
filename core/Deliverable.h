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

// What the monitor does with the result of its batch read.
enum class ReadOutcome : uint8_t {
    Decode,     // hand the batch to the decoder
    PassEnds,   // nothing to decode this pass (the hook has dealt with it)
    EndThread,  // the connection is gone: the monitor ends
    Reopen,     // the connection is gone but can come back (a printer node unplugged): the
                // monitor opens it again with openAgain, once a second, until it is back
    Gone,       // the connection is gone for good (the far end of a serial line has gone):
                // the status says offline, and waits for the printer's answer give up
};

struct MonitorHooks {
    // Connection check before each read; nullptr when the connection has none.
    LineState (*checkLine)(int fd);
    // An offline line is waited out inside the pass (true), or only flagged (false).
    bool waitOutOffline;
    // Reads one batch of at most length bytes; the count, or a negative result.
    long (*readBatch)(int fd, uint8_t* buffer, long length);
    // Judges a read result. nullptr: every result is decoded (a failed read is simply no
    // block).
    ReadOutcome (*judgeRead)(int fd, long n, DecodeMode mode);
    // Opens the lost connection again (read-write, non-blocking): a new descriptor, or -1 when
    // it is not back yet. The monitor puts it under the lost one's number (Line.h). nullptr
    // when judgeRead never asks for a reopen.
    int (*openAgain)();
    // Sends GS a 255 on the monitor's own connection: true when the whole command went out. One
    // that did not (a printer switched off, a full queue, a busy node) is owed to the next pass:
    // a printer that comes back reports nothing until it is asked again.
    bool (*sendEnable)(int fd);
};

struct Deliverable {
    const Variant& variant;
    MonitorHooks monitor;
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
