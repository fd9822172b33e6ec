#include "Line.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "Deliverable.h"
#include "MutexHold.h"
#include "Timing.h"

namespace line {
namespace {

// ---- the lifecycle lock, recursive by hand (an owner word and a depth, no thread-local state) ----
pthread_mutex_t g_lifecycle = PTHREAD_MUTEX_INITIALIZER;
std::atomic<pthread_t> g_lifecycleOwner{};
std::atomic<bool> g_lifecycleOwned{false};
int g_lifecycleDepth = 0;  // written by the owner only
// Lifecycle holders waiting for the write turn: a writer waiting for the lifecycle lock while it
// holds the turn gives up for them.
std::atomic<int> g_lifecycleWantsTurn{0};

bool OwnedByMe() {
    return g_lifecycleOwned.load() && pthread_equal(g_lifecycleOwner.load(), pthread_self());
}

void TakeOwnership() {
    g_lifecycleOwner = pthread_self();
    g_lifecycleOwned = true;
    g_lifecycleDepth = 1;
}

void LockLifecycle() {
    if (OwnedByMe()) {
        ++g_lifecycleDepth;
        return;
    }
    pthread_mutex_lock(&g_lifecycle);
    TakeOwnership();
}

bool TryLockLifecycle() {
    if (OwnedByMe()) {
        ++g_lifecycleDepth;
        return true;
    }
    if (pthread_mutex_trylock(&g_lifecycle) != 0) return false;
    TakeOwnership();
    return true;
}

void UnlockLifecycle() {
    if (--g_lifecycleDepth > 0) return;
    g_lifecycleOwned = false;
    pthread_mutex_unlock(&g_lifecycle);
}

// ---- the descriptor, its users and the sessions ----
pthread_mutex_t g_state = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed;  // users left, a close began, a session or descriptor changed
pthread_once_t g_changedOnce = PTHREAD_ONCE_INIT;
int g_users = 0;
bool g_retiring = false;
std::atomic<uint32_t> g_session{0};
std::atomic<uint32_t> g_generation{0};  // every change of the descriptor
std::atomic<int> g_closers{0};
std::atomic<uint32_t> g_closingSession{0};

void InitChanged() { InitMonotonicCondition(g_changed); }

pthread_cond_t& Changed() {
    pthread_once(&g_changedOnce, &InitChanged);
    return g_changed;
}

std::atomic<int32_t>& Word() { return *kDeliverable.descriptor; }

// The descriptor, its users and the sessions change under g_state.
class StateLock : public MutexHold {
public:
    StateLock() : MutexHold(g_state) {}
};

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// ---- writing: the turn (one job at a time) and the line's bytes (a job, or one command) ----
pthread_mutex_t g_turn = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t g_bytes = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

Lifecycle::Lifecycle() { LockLifecycle(); }
Lifecycle::~Lifecycle() { UnlockLifecycle(); }

LifecycleForWriter::LifecycleForWriter(uint32_t session) {
    for (;;) {
        if (TryLockLifecycle()) {
            // The port may have been closed while we were trying.
            if (Closing(session)) {
                UnlockLifecycle();
                return;
            }
            held_ = true;
            return;
        }
        if (Closing(session) || g_lifecycleWantsTurn.load() > 0) return;
        const StateLock hold;
        const timespec step = MonotonicAfter(2);
        pthread_cond_timedwait(&Changed(), &g_state, &step);
    }
}

LifecycleForWriter::~LifecycleForWriter() {
    if (held_) UnlockLifecycle();
}

LifecycleIfFree::LifecycleIfFree() { held_ = TryLockLifecycle(); }

LifecycleIfFree::~LifecycleIfFree() {
    if (held_) UnlockLifecycle();
}

CloseIntent::CloseIntent() {
    const StateLock hold;
    g_closingSession = g_session.load();
    g_closers.fetch_add(1);
    pthread_cond_broadcast(&Changed());
}

CloseIntent::~CloseIntent() {
    const StateLock hold;
    g_closers.fetch_sub(1);
    pthread_cond_broadcast(&Changed());
}

uint32_t Session() { return g_session.load(); }

bool Closing(uint32_t session) {
    if (g_session.load() != session) return true;
    return g_closers.load() > 0 && g_closingSession.load() == session;
}

void Install(int fd, bool newSession) {
    ForgetOwed();
    const StateLock hold;
    Word() = fd;
    if (newSession) g_session.fetch_add(1);
    g_generation.fetch_add(1);
    pthread_cond_broadcast(&Changed());
}

int Retire(bool endSession) {
    int fd;
    {
        const StateLock hold;
        fd = Word();
        g_retiring = true;
        g_generation.fetch_add(1);  // users see stopping() from now on
        pthread_cond_broadcast(&Changed());
    }
    if (fd >= 0 && kDeliverable.retireWake != nullptr) kDeliverable.retireWake(fd);
    const StateLock hold;
    // Every user gives up within one polling step; the timed wait only guards the wake-up.
    while (g_users > 0) {
        const timespec step = MonotonicAfter(20);
        pthread_cond_timedwait(&Changed(), &g_state, &step);
    }
    Word() = -1;
    g_retiring = false;
    if (endSession) {
        g_session.fetch_add(1);
        ForgetOwed();
    }
    pthread_cond_broadcast(&Changed());
    return fd;
}

int Current() { return Word(); }

namespace {
// The session whose line is gone; sessions count up from 1 with the first open.
std::atomic<uint32_t> g_goneSession{0};
}  // namespace

void MarkGone(uint32_t session) {
    if (session != 0) g_goneSession.store(session);
}

bool Gone(uint32_t session) { return session != 0 && g_goneSession.load() == session; }

namespace {
std::atomic<uint32_t> g_lostSession{0};
}  // namespace

void MarkLost(uint32_t session, bool lost) {
    if (session == 0) return;
    if (lost) {
        g_lostSession.store(session);
    } else {
        uint32_t mine = session;
        g_lostSession.compare_exchange_strong(mine, 0);
    }
}

bool Unreachable(uint32_t session) {
    return Gone(session) || (session != 0 && g_lostSession.load() == session);
}

bool ReplaceKeepingNumber(uint32_t session, int fd) {
    if (Closing(session) || Word() < 0) {
        close(fd);
        return false;
    }
    const int number = Retire(false);
    // dup3 closes the dead node and gives its number the new one in one step; EBUSY only
    // while another thread's open races for that number, which it cannot get.
    int taken;
    do {
        taken = dup3(fd, number, O_CLOEXEC);
    } while (taken < 0 && (errno == EINTR || errno == EBUSY));
    close(fd);
    Install(number, false);
    return taken >= 0;
}

Use::Use() {
    const StateLock hold;
    if (g_retiring || Word() < 0) return;
    ++g_users;
    fd_ = Word();
    session_ = g_session.load();
    generation_ = g_generation.load();
}

Use::Use(uint32_t session) {
    const StateLock hold;
    if (g_retiring || Word() < 0 || g_session.load() != session) return;
    ++g_users;
    fd_ = Word();
    session_ = session;
    generation_ = g_generation.load();
}

Use::~Use() {
    if (fd_ < 0) return;
    const StateLock hold;
    if (--g_users == 0) pthread_cond_broadcast(&Changed());
}

bool Use::stopping() const { return g_generation.load() != generation_ || Closing(session_); }

bool SleepUnlessClosing(uint32_t session, uint32_t ms) {
    const timespec until = MonotonicAfter(ms);
    const StateLock hold;
    for (;;) {
        if (Closing(session)) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!Before(now, until)) return true;
        pthread_cond_timedwait(&Changed(), &g_state, &until);
    }
}

WriteTurn::WriteTurn(uint32_t session) {
    // A lifecycle holder that waits here makes a writer waiting for the lifecycle lock give up.
    const bool lifecycle = OwnedByMe();
    if (lifecycle) g_lifecycleWantsTurn.fetch_add(1);
    pthread_mutex_lock(&g_turn);
    if (lifecycle) g_lifecycleWantsTurn.fetch_sub(1);
    if (Closing(session)) {
        pthread_mutex_unlock(&g_turn);
        return;
    }
    held_ = true;
    Resume();
}

WriteTurn::~WriteTurn() {
    if (!held_) return;
    Pause();
    pthread_mutex_unlock(&g_turn);
}

void WriteTurn::Pause() {
    if (!bytes_) return;
    bytes_ = false;
    pthread_mutex_unlock(&g_bytes);
}

void WriteTurn::Resume() {
    if (bytes_ || !held_) return;
    // Only the monitor can hold the bytes without the turn, for one short command.
    pthread_mutex_lock(&g_bytes);
    bytes_ = true;
}

LineIfFree::LineIfFree() { held_ = pthread_mutex_trylock(&g_bytes) == 0; }

LineIfFree::~LineIfFree() {
    if (held_) pthread_mutex_unlock(&g_bytes);
}

// ---- the library's own commands ----

namespace {
thread_local int t_commandDepth = 0;
// The rest of a command that went out in part; its lock is a leaf (nothing is taken under it).
pthread_mutex_t g_owedLock = PTHREAD_MUTEX_INITIALIZER;
uint8_t g_owed[16];
long g_owedLength = 0;

constexpr uint32_t kOwedStepMs = 5;
}  // namespace

CommandScope::CommandScope() { ++t_commandDepth; }
CommandScope::~CommandScope() { --t_commandDepth; }
bool InCommand() { return t_commandDepth > 0; }

void Owe(const uint8_t* rest, long length) {
    const MutexHold hold(g_owedLock);
    if (length <= 0) return;
    if (length > static_cast<long>(sizeof g_owed)) length = sizeof g_owed;  // never: commands are short
    for (long i = 0; i < length; ++i) g_owed[i] = rest[i];
    g_owedLength = length;
}

bool Owes() {
    const MutexHold hold(g_owedLock);
    return g_owedLength > 0;
}

void ForgetOwed() {
    const MutexHold hold(g_owedLock);
    g_owedLength = 0;
}

namespace {
// Puts bytes with put, trying for up to waitMs while the line has no room; how many went out,
// or -1 when the line failed before any did.
long PutWithin(const Use& use, PutBytes put, const uint8_t* data, long length, uint32_t waitMs) {
    long done = 0;
    const uint32_t start = timeGetTime();
    while (done < length) {
        const long took = put(use.fd(), data + done, length - done);
        if (took > 0) {
            done += took;
            continue;
        }
        if (took < 0) return done > 0 ? done : -1;
        if (use.stopping() || ElapsedSince(start, timeGetTime()) >= waitMs) break;
        LoopSleep(kOwedStepMs);
    }
    return done;
}
}  // namespace

bool SettleOwed(const Use& use, PutBytes put, uint32_t waitMs) {
    uint8_t rest[sizeof g_owed];
    long length;
    {
        const MutexHold hold(g_owedLock);
        length = g_owedLength;
        for (long i = 0; i < length; ++i) rest[i] = g_owed[i];
    }
    if (length == 0) return true;
    const long sent = PutWithin(use, put, rest, length, waitMs);
    if (sent >= length) {
        ForgetOwed();
        return true;
    }
    if (sent > 0) Owe(rest + sent, length - sent);
    return false;
}

CommandSent PutCommand(const Use& use, PutBytes put, const uint8_t* command, long length,
                       uint32_t waitMs) {
    if (!SettleOwed(use, put, waitMs)) return CommandSent::No;
    const long sent = PutWithin(use, put, command, length, waitMs);
    if (sent >= length) return CommandSent::Whole;
    if (sent <= 0) return CommandSent::No;
    Owe(command + sent, length - sent);
    return CommandSent::Pending;
}

}  // namespace line
