// Who owns a printer's line (the serial descriptor, the printer node, the socket) at any
// moment. Every port (Port.h) has a line of its own, and nothing here is shared between ports:
// no lock, wait or sleep of one port is ever held across another port's I/O. The same rules
// hold in every deliverable:
//
// 1. Lifecycle. Opening, claiming, closing and replacing the connection (a network
//    reconnection, a reopened printer node) run one at a time, under the lifecycle lock. A close
//    announces itself (CloseIntent) before it waits for that lock, and everything working for
//    the port it closes gives up at its next step: the close wins.
//
// 2. Use. Every operation that touches the descriptor holds a Use for as long as it does, and
//    looks at stopping() at every polling step. Retiring the descriptor (a close, a replacement)
//    tells the users to stop, waits until none is left, and only then hands the number back to
//    be closed. No thread can be left holding a number that the system has since given to
//    somebody else (a file of the JVM).
//
// 3. Writing. One writer at a time. A Java-side write (a job, a drawer kick, a completion
//    request, a probe request) holds the WriteTurn for the whole job. The monitor never waits
//    for a writer: its own commands go out only when the line is free (LineIfFree), otherwise
//    it leaves them for a later pass.
//
// Lock order: lifecycle, then write turn, then the line's bytes. A writer that holds the turn
// and must replace the connection asks for the lifecycle lock only through LifecycleForWriter,
// which gives up instead of waiting for a close or for a lifecycle holder that needs the turn.
// A monitor that replaces its own connection (a lost node reopened) lets go of its Use first
// and only ever tries for the lifecycle lock (LifecycleIfFree), giving up when it is told to
// stop: a close holds that lock while it joins the monitor. A replacement is Retire(false), then
// Install(fd, false). A reopened node keeps the lost one's number (ReplaceKeepingNumber): the
// number a transport or a Java call holds names the printer's node, dead or alive, and never a
// file somebody opened in between.
// 4. The library's own commands (the status enable, a completion request, a drawer kick, a status
//    request) reach the printer whole: never cut short with something else behind them, never
//    twice. One that went out in part leaves its rest owed, and whoever puts bytes on the line
//    next (a writer, the monitor) sends that rest first.
//
// A line whose transfers need a mode (a parallel port's forward and reverse channels) holds a
// small lock of its own around each negotiate-then-transfer pair: the mode of one side's
// transfer is never changed under it by the other's negotiation.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct Port;

namespace line {

// Everything one port's line rules keep. Only the functions below touch it.
class Owner {
public:
    Owner();
    ~Owner();
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

private:
    friend class Access;
    // The lifecycle lock, recursive by hand (an owner word and a depth, no thread-local state).
    pthread_mutex_t lifecycle_ = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<pthread_t> lifecycleOwner_{};
    std::atomic<bool> lifecycleOwned_{false};
    int lifecycleDepth_ = 0;  // written by the owner only
    // Lifecycle holders waiting for the write turn: a writer waiting for the lifecycle lock
    // while it holds the turn gives up for them.
    std::atomic<int> lifecycleWantsTurn_{0};
    // The descriptor, its users and the sessions change under state_.
    pthread_mutex_t state_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed_;  // users left, a close began, a session or descriptor changed
    int users_ = 0;
    bool retiring_ = false;
    std::atomic<uint32_t> session_{0};
    std::atomic<uint32_t> generation_{0};  // every change of the descriptor
    std::atomic<int> closers_{0};
    std::atomic<uint32_t> closingSession_{0};
    std::atomic<uint32_t> goneSession_{0};
    std::atomic<uint32_t> lostSession_{0};
    // Writing: the turn (one job at a time) and the line's bytes (a job, or one command).
    pthread_mutex_t turn_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t bytes_ = PTHREAD_MUTEX_INITIALIZER;
    // The rest of a command that went out in part; its lock is a leaf.
    pthread_mutex_t owedLock_ = PTHREAD_MUTEX_INITIALIZER;
    uint8_t owed_[16] = {};
    long owedLength_ = 0;
};

// ---- 1. The lifecycle ----

// Holds the port's lifecycle lock for a scope. A thread may take it again while it holds it (an
// open closes the earlier port, a refused claim closes the port).
class Lifecycle {
public:
    explicit Lifecycle(Port& port);
    ~Lifecycle();
    Lifecycle(const Lifecycle&) = delete;
    Lifecycle& operator=(const Lifecycle&) = delete;

private:
    Port& port_;
};

// For a writer that holds the write turn and has to replace the connection: the lifecycle lock,
// unless first the port it writes for is closed, a close of it begins, or the lock's holder is
// waiting for the write turn. Test it before going on.
class LifecycleForWriter {
public:
    LifecycleForWriter(Port& port, uint32_t session);
    ~LifecycleForWriter();
    LifecycleForWriter(const LifecycleForWriter&) = delete;
    LifecycleForWriter& operator=(const LifecycleForWriter&) = delete;
    explicit operator bool() const { return held_; }

private:
    Port& port_;
    bool held_ = false;
};

// The lifecycle lock if nobody holds it now; never waits. For the monitor, which a lifecycle
// holder may be joining. Test it before going on.
class LifecycleIfFree {
public:
    explicit LifecycleIfFree(Port& port);
    ~LifecycleIfFree();
    LifecycleIfFree(const LifecycleIfFree&) = delete;
    LifecycleIfFree& operator=(const LifecycleIfFree&) = delete;
    explicit operator bool() const { return held_; }

private:
    Port& port_;
    bool held_ = false;
};

// A close of the port's session that is open now, from construction to destruction. Made before
// the close waits for the lifecycle lock.
class CloseIntent {
public:
    explicit CloseIntent(Port& port);
    ~CloseIntent();
    CloseIntent(const CloseIntent&) = delete;
    CloseIntent& operator=(const CloseIntent&) = delete;

private:
    Port& port_;
};

// ---- 2. The descriptor and its users ----

// The port session: a new number when the port is opened and again when it is closed. A
// reconnection or a reopened node keeps the session and changes only the descriptor.
uint32_t Session(Port& port);

// True while a close of this session has begun or the session has ended.
bool Closing(Port& port, uint32_t session);

// Makes fd the line's descriptor, in a new session (an open) or in the current one (a
// replacement). The caller holds the lifecycle lock and has retired the earlier descriptor.
void Install(Port& port, int fd, bool newSession);

// Takes the descriptor away from its users: they are told to stop (and the deliverable's
// retireWake cuts short a wait to receive), and the call returns once none is left. Returns the
// number, now the caller's alone to close, or -1 when there was none. endSession: a close (the
// session ends); otherwise a replacement follows. The caller holds the lifecycle lock and no
// Use.
int Retire(Port& port, bool endSession);

// The descriptor now, without using it (-1 when none).
int Current(Port& port);

// Puts fd, a new descriptor for the lost connection of this session, under the number of the
// current one (dup3, with close-on-exec): the dead descriptor stays open until this moment, so
// its number is never free for somebody else. Its users are stopped first, as by Retire. fd is
// closed in every case. False when the session has ended or is being closed, there is no
// descriptor, or the number could not be taken over (the dead one stays). The caller holds the
// lifecycle lock and no Use.
bool ReplaceKeepingNumber(Port& port, uint32_t session, int fd);

// The descriptor of this session can never work again (the far end of the line has gone, and
// only a new open can bring it back): nothing waits for the printer's answer on it. Ends with
// the session.
void MarkGone(Port& port, uint32_t session);
bool Gone(Port& port, uint32_t session);

// The printer of this session cannot be reached for now (a printer node unplugged and not back
// yet, a network connection lost with none in its place): nothing waits for its answer meanwhile.
// Cleared when it is back.
void MarkLost(Port& port, uint32_t session, bool lost);
// Gone for good, or lost for now.
bool Unreachable(Port& port, uint32_t session);

// Holds the port's descriptor for one operation.
class Use {
public:
    explicit Use(Port& port);     // the descriptor now, whatever the session
    Use(Port& port, uint32_t session);  // only while that session lasts
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    uint32_t session() const { return session_; }
    Port& port() const { return port_; }
    // The descriptor is being retired or its port closed: give up now.
    bool stopping() const;

private:
    Port& port_;
    int fd_ = -1;
    uint32_t session_ = 0;
    uint32_t generation_ = 0;
};

// Sleeps ms milliseconds on the monotonic clock, less when a close of the session begins or the
// session ends. True when the whole time passed.
bool SleepUnlessClosing(Port& port, uint32_t session, uint32_t ms);

// ---- 3. One writer at a time ----

// The write turn for one job of the given session. Blocks while another writer of the port holds
// it; not granted (false) when the session has ended or is being closed by the time it would be.
class WriteTurn {
public:
    WriteTurn(Port& port, uint32_t session);
    ~WriteTurn();
    WriteTurn(const WriteTurn&) = delete;
    WriteTurn& operator=(const WriteTurn&) = delete;
    explicit operator bool() const { return held_; }

    // Between two complete byte sequences of one job (a reconnection and the rest of the job):
    // lets the monitor put its own command on the line meanwhile. Other writers still wait.
    void Pause();
    void Resume();

private:
    Port& port_;
    bool held_ = false;
    bool bytes_ = false;
};

// The line for one of the monitor's own commands, only if no writer is in the middle of a job.
class LineIfFree {
public:
    explicit LineIfFree(Port& port);
    ~LineIfFree();
    LineIfFree(const LineIfFree&) = delete;
    LineIfFree& operator=(const LineIfFree&) = delete;
    explicit operator bool() const { return held_; }

private:
    Port& port_;
    bool held_ = false;
};

// ---- 4. The library's own commands ----

// One attempt to hand bytes to the line, without waiting: the count taken, 0 when the line has
// no room now (a full queue, a busy printer), or -1 when it failed. The deliverable's putBytes.
using PutBytes = long (*)(Port& port, int fd, const uint8_t* data, long length);

// Marks what this thread writes meanwhile as one of the library's own commands (a writer that
// gives up after part of it owes the rest, see Owe).
class CommandScope {
public:
    CommandScope();
    ~CommandScope();
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;
};
bool InCommand();

// The rest of a command that went out in part. The caller holds the line's bytes (a WriteTurn,
// or a LineIfFree).
void Owe(Port& port, const uint8_t* rest, long length);
bool Owes(Port& port);
// Sends what is owed, trying for up to waitMs while the line has no room (and the use is not
// stopping); true when nothing is owed any more. The caller holds the line's bytes.
bool SettleOwed(const Use& use, PutBytes put, uint32_t waitMs);
// What was owed on a connection that has been replaced or closed: the printer on the other end
// lost the start of that command with it.
void ForgetOwed(Port& port);

enum class CommandSent : uint8_t {
    Whole,    // all of it is on the line
    Pending,  // part of it; the rest is owed and goes out before anything else
    No,       // nothing went out (no room, a failed line, or a rest still owed)
};
// One of the monitor's commands, put with the line's bytes held: what is owed first, then the
// command, trying for up to waitMs while the line has no room.
CommandSent PutCommand(const Use& use, PutBytes put, const uint8_t* command, long length,
                       uint32_t waitMs);

}  // namespace line
