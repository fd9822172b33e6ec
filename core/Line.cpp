#include "Line.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "Deliverable.h"
#include "MutexHold.h"
#include "Port.h"
#include "Timing.h"

namespace line {

// The port's line rules, as the functions below see them.
class Access {
public:
    explicit Access(Port& port) : o(port.line), port_(port) {}

    Owner& o;

    bool OwnedByMe() const {
        return o.lifecycleOwned_.load() && pthread_equal(o.lifecycleOwner_.load(), pthread_self());
    }
    void TakeOwnership() {
        o.lifecycleOwner_ = pthread_self();
        o.lifecycleOwned_ = true;
        o.lifecycleDepth_ = 1;
    }
    void LockLifecycle() {
        if (OwnedByMe()) {
            ++o.lifecycleDepth_;
            return;
        }
        pthread_mutex_lock(&o.lifecycle_);
        TakeOwnership();
    }
    bool TryLockLifecycle() {
        if (OwnedByMe()) {
            ++o.lifecycleDepth_;
            return true;
        }
        if (pthread_mutex_trylock(&o.lifecycle_) != 0) return false;
        TakeOwnership();
        return true;
    }
    void UnlockLifecycle() {
        if (--o.lifecycleDepth_ > 0) return;
        o.lifecycleOwned_ = false;
        pthread_mutex_unlock(&o.lifecycle_);
    }

    std::atomic<int32_t>& Word() { return kDeliverable.descriptor(port_); }

    pthread_mutex_t& state() { return o.state_; }
    pthread_cond_t& changed() { return o.changed_; }
    int& users() { return o.users_; }
    bool& retiring() { return o.retiring_; }
    std::atomic<uint32_t>& session() { return o.session_; }
    std::atomic<uint32_t>& generation() { return o.generation_; }
    std::atomic<int>& closers() { return o.closers_; }
    std::atomic<uint32_t>& closingSession() { return o.closingSession_; }
    std::atomic<uint32_t>& goneSession() { return o.goneSession_; }
    std::atomic<uint32_t>& lostSession() { return o.lostSession_; }
    std::atomic<int>& lifecycleWantsTurn() { return o.lifecycleWantsTurn_; }
    pthread_mutex_t& turn() { return o.turn_; }
    pthread_mutex_t& bytes() { return o.bytes_; }
    pthread_mutex_t& owedLock() { return o.owedLock_; }
    uint8_t* owed() { return o.owed_; }
    long& owedLength() { return o.owedLength_; }
    static constexpr long kOwedRoom = sizeof(Owner::owed_);

private:
    Port& port_;
};

namespace {

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

Owner::Owner() { InitMonotonicCondition(changed_); }

Owner::~Owner() { pthread_cond_destroy(&changed_); }

Lifecycle::Lifecycle(Port& port) : port_(port) { Access(port_).LockLifecycle(); }
Lifecycle::~Lifecycle() { Access(port_).UnlockLifecycle(); }

LifecycleForWriter::LifecycleForWriter(Port& port, uint32_t session) : port_(port) {
    Access a(port_);
    for (;;) {
        if (a.TryLockLifecycle()) {
            // The port may have been closed while we were trying.
            if (Closing(port_, session)) {
                a.UnlockLifecycle();
                return;
            }
            held_ = true;
            return;
        }
        if (Closing(port_, session) || a.lifecycleWantsTurn().load() > 0) return;
        const MutexHold hold(a.state());
        const timespec step = MonotonicAfter(2);
        pthread_cond_timedwait(&a.changed(), &a.state(), &step);
    }
}

LifecycleForWriter::~LifecycleForWriter() {
    if (held_) Access(port_).UnlockLifecycle();
}

LifecycleIfFree::LifecycleIfFree(Port& port) : port_(port) {
    held_ = Access(port_).TryLockLifecycle();
}

LifecycleIfFree::~LifecycleIfFree() {
    if (held_) Access(port_).UnlockLifecycle();
}

CloseIntent::CloseIntent(Port& port) : port_(port) {
    Access a(port_);
    const MutexHold hold(a.state());
    a.closingSession() = a.session().load();
    a.closers().fetch_add(1);
    pthread_cond_broadcast(&a.changed());
}

CloseIntent::~CloseIntent() {
    Access a(port_);
    const MutexHold hold(a.state());
    a.closers().fetch_sub(1);
    pthread_cond_broadcast(&a.changed());
}

uint32_t Session(Port& port) { return Access(port).session().load(); }

bool Closing(Port& port, uint32_t session) {
    Access a(port);
    if (a.session().load() != session) return true;
    return a.closers().load() > 0 && a.closingSession().load() == session;
}

void Install(Port& port, int fd, bool newSession) {
    ForgetOwed(port);
    Access a(port);
    const MutexHold hold(a.state());
    a.Word() = fd;
    if (newSession) a.session().fetch_add(1);
    a.generation().fetch_add(1);
    pthread_cond_broadcast(&a.changed());
}

int Retire(Port& port, bool endSession) {
    Access a(port);
    int fd;
    {
        const MutexHold hold(a.state());
        fd = a.Word();
        a.retiring() = true;
        a.generation().fetch_add(1);  // users see stopping() from now on
        pthread_cond_broadcast(&a.changed());
    }
    if (fd >= 0 && kDeliverable.retireWake != nullptr) kDeliverable.retireWake(port, fd);
    {
        const MutexHold hold(a.state());
        // Every user gives up within one polling step; the timed wait only guards the wake-up.
        while (a.users() > 0) {
            const timespec step = MonotonicAfter(20);
            pthread_cond_timedwait(&a.changed(), &a.state(), &step);
        }
        a.Word() = -1;
        a.retiring() = false;
        if (endSession) a.session().fetch_add(1);
        pthread_cond_broadcast(&a.changed());
    }
    if (endSession) ForgetOwed(port);
    return fd;
}

int Current(Port& port) { return Access(port).Word(); }

void MarkGone(Port& port, uint32_t session) {
    if (session != 0) Access(port).goneSession().store(session);
}

bool Gone(Port& port, uint32_t session) {
    return session != 0 && Access(port).goneSession().load() == session;
}

void MarkLost(Port& port, uint32_t session, bool lost) {
    if (session == 0) return;
    Access a(port);
    if (lost) {
        a.lostSession().store(session);
    } else {
        uint32_t mine = session;
        a.lostSession().compare_exchange_strong(mine, 0);
    }
}

bool Unreachable(Port& port, uint32_t session) {
    return Gone(port, session) ||
           (session != 0 && Access(port).lostSession().load() == session);
}

bool ReplaceKeepingNumber(Port& port, uint32_t session, int fd) {
    if (Closing(port, session) || Current(port) < 0) {
        close(fd);
        return false;
    }
    const int number = Retire(port, false);
    // dup3 closes the dead node and gives its number the new one in one step; EBUSY only
    // while another thread's open races for that number, which it cannot get.
    int taken;
    do {
        taken = dup3(fd, number, O_CLOEXEC);
    } while (taken < 0 && (errno == EINTR || errno == EBUSY));
    close(fd);
    Install(port, number, false);
    return taken >= 0;
}

Use::Use(Port& port) : port_(port) {
    Access a(port_);
    const MutexHold hold(a.state());
    if (a.retiring() || a.Word() < 0) return;
    ++a.users();
    fd_ = a.Word();
    session_ = a.session().load();
    generation_ = a.generation().load();
}

Use::Use(Port& port, uint32_t session) : port_(port) {
    Access a(port_);
    const MutexHold hold(a.state());
    if (a.retiring() || a.Word() < 0 || a.session().load() != session) return;
    ++a.users();
    fd_ = a.Word();
    session_ = session;
    generation_ = a.generation().load();
}

Use::~Use() {
    if (fd_ < 0) return;
    Access a(port_);
    const MutexHold hold(a.state());
    if (--a.users() == 0) pthread_cond_broadcast(&a.changed());
}

bool Use::stopping() const {
    return Access(port_).generation().load() != generation_ || Closing(port_, session_);
}

bool SleepUnlessClosing(Port& port, uint32_t session, uint32_t ms) {
    Access a(port);
    const timespec until = MonotonicAfter(ms);
    const MutexHold hold(a.state());
    for (;;) {
        if (Closing(port, session)) return false;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!Before(now, until)) return true;
        pthread_cond_timedwait(&a.changed(), &a.state(), &until);
    }
}

WriteTurn::WriteTurn(Port& port, uint32_t session) : port_(port) {
    Access a(port_);
    // A lifecycle holder that waits here makes a writer waiting for the lifecycle lock give up.
    const bool lifecycle = a.OwnedByMe();
    if (lifecycle) a.lifecycleWantsTurn().fetch_add(1);
    pthread_mutex_lock(&a.turn());
    if (lifecycle) a.lifecycleWantsTurn().fetch_sub(1);
    if (Closing(port_, session)) {
        pthread_mutex_unlock(&a.turn());
        return;
    }
    held_ = true;
    Resume();
}

WriteTurn::~WriteTurn() {
    if (!held_) return;
    Pause();
    pthread_mutex_unlock(&Access(port_).turn());
}

void WriteTurn::Pause() {
    if (!bytes_) return;
    bytes_ = false;
    pthread_mutex_unlock(&Access(port_).bytes());
}

void WriteTurn::Resume() {
    if (bytes_ || !held_) return;
    // Only the monitor can hold the bytes without the turn, for one short command.
    pthread_mutex_lock(&Access(port_).bytes());
    bytes_ = true;
}

LineIfFree::LineIfFree(Port& port) : port_(port) {
    held_ = pthread_mutex_trylock(&Access(port_).bytes()) == 0;
}

LineIfFree::~LineIfFree() {
    if (held_) pthread_mutex_unlock(&Access(port_).bytes());
}

// ---- the library's own commands ----

namespace {
thread_local int t_commandDepth = 0;
constexpr uint32_t kOwedStepMs = 5;
}  // namespace

CommandScope::CommandScope() { ++t_commandDepth; }
CommandScope::~CommandScope() { --t_commandDepth; }
bool InCommand() { return t_commandDepth > 0; }

void Owe(Port& port, const uint8_t* rest, long length) {
    Access a(port);
    const MutexHold hold(a.owedLock());
    if (length <= 0) return;
    if (length > Access::kOwedRoom) length = Access::kOwedRoom;  // never: commands are short
    for (long i = 0; i < length; ++i) a.owed()[i] = rest[i];
    a.owedLength() = length;
}

bool Owes(Port& port) {
    Access a(port);
    const MutexHold hold(a.owedLock());
    return a.owedLength() > 0;
}

void ForgetOwed(Port& port) {
    Access a(port);
    const MutexHold hold(a.owedLock());
    a.owedLength() = 0;
}

namespace {
// Puts bytes with put, trying for up to waitMs while the line has no room; how many went out,
// or -1 when the line failed before any did.
long PutWithin(const Use& use, PutBytes put, const uint8_t* data, long length, uint32_t waitMs) {
    long done = 0;
    const uint32_t start = timeGetTime();
    while (done < length) {
        const long took = put(use.port(), use.fd(), data + done, length - done);
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
    Access a(use.port());
    uint8_t rest[Access::kOwedRoom];
    long length;
    {
        const MutexHold hold(a.owedLock());
        length = a.owedLength();
        for (long i = 0; i < length; ++i) rest[i] = a.owed()[i];
    }
    if (length == 0) return true;
    const long sent = PutWithin(use, put, rest, length, waitMs);
    if (sent >= length) {
        ForgetOwed(use.port());
        return true;
    }
    if (sent > 0) Owe(use.port(), rest + sent, length - sent);
    return false;
}

CommandSent PutCommand(const Use& use, PutBytes put, const uint8_t* command, long length,
                       uint32_t waitMs) {
    if (!SettleOwed(use, put, waitMs)) return CommandSent::No;
    const long sent = PutWithin(use, put, command, length, waitMs);
    if (sent >= length) return CommandSent::Whole;
    if (sent <= 0) return CommandSent::No;
    Owe(use.port(), command + sent, length - sent);
    return CommandSent::Pending;
}

}  // namespace line
