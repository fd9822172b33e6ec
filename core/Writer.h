// How every writer handles a job, in one place: one writer at a time, the refusal while the
// printer cannot print, the rest of one of our own commands first, the no-progress allowance, a
// close that ends the job, and what a job that ends early reports: exactly the number of its
// bytes the printer gets (or -2 when none went out). The transport only moves bytes (a
// WriteMedium), as a backend does under a protocol library's send loop.
#pragma once

#include <cstdint>

#include "Line.h"

struct Port;

// How a job ended, named in the trace.
enum class Ended : uint8_t {
    Done,        // every byte handed over
    NoProgress,  // the printer took nothing within the allowance (busy, offline, a stuck queue)
    Reported,    // the printer reported meanwhile that it cannot print (cover, paper, an error)
    LineFailed,  // the line failed (an error, a node gone, a connection lost)
    Closing,     // the port is being closed
};
const char* NameOf(Ended ended);

// How long a printer may take nothing at all before a job gives up.
inline constexpr uint32_t kNoProgressAllowanceMs = 5000;

enum class Watch : uint8_t {
    Nothing,      // once begun, a job goes on whatever the printer reports
    Reports,      // it stops before the next piece once the printer reports cover open, paper
                  // end or an error
    AnyRefusal,   // ... or anything that refuses writes (offline too)
};

// What happened before a job, on a connection that must first be made again (the network's).
enum class Prepared : uint8_t { Nothing, Recovered, Failed };

struct WriteMedium {
    // The port has something to write to, or to reconnect to.
    bool (*open)(Port& port);
    // One attempt to hand the printer bytes (at most length): the count taken (> 0), 0 when it
    // takes nothing now (no room, busy, not ready), or -1 when the line failed.
    long (*put)(Port& port, const line::Use& use, const uint8_t* data, long length);
    // Waits at most a step for the line to take bytes again.
    void (*awaitRoom)(Port& port, const line::Use& use);
    // Optional. After a put that took bytes (a pause, a drain): Done to go on, or how the job
    // ends.
    Ended (*afterPut)(Port& port, const line::Use& use, uint32_t& lastProgress);
    // Optional. A job that ends early after handing over `handed` bytes: how many of them the
    // printer gets. Without it, all of them.
    long (*settle)(Port& port, const line::Use* use, long handed, Ended ended);
    // Optional. Before the job, with the write turn held: a connection that must first be made
    // again (Recovered also lifts the refusal for this job: the new connection's monitor asks
    // the printer first), or Failed.
    Prepared (*prepare)(Port& port, line::WriteTurn& turn, uint32_t session);
    // Optional. The line failed during the job: a new connection, with what the printer never
    // got sent again, and true to go on. Asked once a job.
    bool (*recover)(Port& port, line::WriteTurn& turn, uint32_t session);
    // Optional. The job begins (after prepare), handing over its first byte next.
    void (*begin)(Port& port);
    line::PutBytes putBytes;  // the same line as one non-blocking attempt, for the rest owed
    long chunk;           // most bytes offered at once; 0 for all that is left
    Watch watch;
    bool wholeOrFail;     // a command: all of it, or -2 (the rest owed)
    bool nothingIsZero;   // a job that handed over nothing reports 0, not -2
};

// Writes a job through the medium with the common policy. The count the printer gets, or a
// negative code (-1 no port open, -2 refused or nothing went out).
long WriteJob(Port& port, const uint8_t* data, long length, const WriteMedium& medium);
