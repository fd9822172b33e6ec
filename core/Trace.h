// The byte trace: when PRN_TRACE names a file at the moment the library is loaded, every
// transfer that moved bytes to or from the printer is appended to it as one line, with a few
// lines for the Java calls that open, claim and close the port:
//
//     <monotonic us> <library> <caller|monitor> <tid> out|in <count> [print] <hex bytes> [...]
//     <monotonic us> <library> <caller|monitor> <tid> open "<port>" "<settings>" -> <result>
//     <monotonic us> <library> <caller|monitor> <tid> claim <timeout> thermal|impact -> <result>
//     <monotonic us> <library> <caller|monitor> <tid> close
//
// Print data (the Java side's _writeData) is marked print and shown up to its first 64 bytes,
// anything else up to 256; "..." ends a line that shows less than its count. The file is kept
// under 16 MiB by renaming it once to FILE.1 and starting a new one.
//
// The print data is the receipts' text, so the file is the process's user's alone: created
// with mode 0600, never opened through a link at its name, and an existing one used only when
// it is a regular file of the process's effective user with no other name.
//
// Off, the trace costs one relaxed load at each hook (On()); every line is formatted out of
// line. Built with PRN_TRACE_COMPILED_OUT, On() is false at compile time and the hooks vanish.
// The trace never fails a caller: the first error (the file cannot be opened, is not one it
// may write, cannot be written or renamed) switches it off for good, silently, and errno is as
// the hook found it. It never touches the printer's descriptor; it holds its own lock only to
// stamp and write a line (and to open or rename its file when that is due).
#pragma once

#include <atomic>
#include <cstdint>

struct Port;

namespace trace {

#ifdef PRN_TRACE_COMPILED_OUT
constexpr bool On() { return false; }
#else
// Set when the library is loaded with PRN_TRACE naming a file; cleared for good on an error.
extern std::atomic<bool> g_on;
inline bool On() { return g_on.load(std::memory_order_relaxed); }
#endif

// The line writers, each for one port: the shared port's lines name the library ("serial"), a
// port of its own's the library and its slot ("serial#3"). Call them only when On(); a count of
// zero or less (a transfer that moved nothing, a failed call) writes no line.
void Sent(const Port& port, const void* bytes, long count);
void Received(const Port& port, const void* bytes, long count);
void Opened(const Port& port, const char* name, const char* settings, long result);
void Claimed(const Port& port, long timeout, bool thermal, long result);
void Closed(const Port& port);
// The printer's report changed: "state <status> <refusal> <why>".
void State(const Port& port, int32_t status, const char* refusal, const char* why);
// A write was refused ("refused <why>"), or a job ended early ("gave up <why> <count>").
void Refused(const Port& port, const char* why);
void GaveUp(const Port& port, const char* why, long count);

// This thread is the status monitor's: its lines say monitor, not caller.
void MarkMonitorThread();
// The caller's transfers are print data until PrintEnds (see PrintScope).
void PrintBegins();
void PrintEnds();

// The hooks at the transfers: after the read, write, send or recv, with its result.
inline void Out(const Port& port, const void* bytes, long count) {
    if (On()) Sent(port, bytes, count);
}
inline void In(const Port& port, const void* bytes, long count) {
    if (On()) Received(port, bytes, count);
}

// Around the Java side's write: what this thread sends meanwhile is print data.
class PrintScope {
public:
    PrintScope() : marked_(On()) {
        if (marked_) PrintBegins();
    }
    ~PrintScope() {
        if (marked_) PrintEnds();
    }
    PrintScope(const PrintScope&) = delete;
    PrintScope& operator=(const PrintScope&) = delete;

private:
    bool marked_;
};

}  // namespace trace
