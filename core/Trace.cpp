#include "Trace.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Deliverable.h"
#include "Port.h"
#include "MutexHold.h"

namespace trace {

#ifndef PRN_TRACE_COMPILED_OUT
std::atomic<bool> g_on{false};
#endif

namespace {

constexpr long kPrintShown = 64;   // bytes of print data a line shows
constexpr long kOtherShown = 256;  // bytes of anything else
constexpr size_t kTextShown = 128;  // characters of a port name or a settings text
constexpr off_t kFileLimit = off_t{16} << 20;
// A line is formatted behind room for its time stamp, which is put in front of it only under
// the file's lock: the lines of one library are in the order of their stamps.
constexpr size_t kStampRoom = 24;
constexpr size_t kLineRoom = 2048;

// Who this thread is, and whether what it sends now is print data.
thread_local bool t_monitor = false;
thread_local bool t_print = false;

// The directory of the file PRN_TRACE named, opened when the library is loaded; the file's name
// in it, and the name it gets there when it is full. The file is opened and renamed relative to
// that directory, never by looking the path up again: a directory on the path replaced by a
// link later does not move the trace.
int g_dir = -1;
char g_name[PATH_MAX];
char g_older[PATH_MAX + 2];

// The file. Its lock is held to stamp and write one line, and to open or rename the file when
// that is due; never while anything else is done.
pthread_mutex_t g_file = PTHREAD_MUTEX_INITIALIZER;
int g_fd = -1;
off_t g_size = 0;  // the file's size when opened, plus what this library appended

// The trace of a call leaves errno as the call it follows left it.
class KeepErrno {
public:
    KeepErrno() : saved_(errno) {}
    ~KeepErrno() { errno = saved_; }
    KeepErrno(const KeepErrno&) = delete;
    KeepErrno& operator=(const KeepErrno&) = delete;

private:
    int saved_;
};

// For good: nothing in this library turns the trace on again.
void SwitchOffLocked() {
#ifndef PRN_TRACE_COMPILED_OUT
    g_on.store(false, std::memory_order_relaxed);
#endif
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    if (g_dir >= 0) close(g_dir);
    g_dir = -1;
}

// The file is the process's user's alone: a new one is created for that user only, and an
// existing one is used only when it is a regular file of that user with no other name. Never
// through a link at the name: PRN_TRACE may name a folder others can write, and a root service
// must not append to whatever file they point it at. Two libraries (or processes) may create
// the file at once: the one that loses opens the winner's, under the same rules.
//
// Never blocks: a FIFO opens only when somebody reads it, and is then refused. A terminal named
// here does not become the process's.
int OpenTraceFile() {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    for (int tries = 0; tries < 3; ++tries) {
        int fd = openat(g_dir, g_name, kFlags | O_CREAT | O_EXCL, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
        fd = openat(g_dir, g_name, kFlags);
        if (fd >= 0 || errno != ENOENT) return fd;
        // Gone in between: another process renamed it to FILE.1 and has yet to start FILE.
    }
    return -1;
}

bool OpenLocked() {
    const int fd = OpenTraceFile();
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
        info.st_nlink > 1) {
        close(fd);
        return false;
    }
    g_fd = fd;
    g_size = info.st_size;
    return true;
}

// The file would pass the limit: it becomes FILE.1 (an older FILE.1 goes) and a new FILE is
// started, both in the file's directory. When the name there is another file's by now,
// somebody else (the trace of another of our libraries in this process) has done that already,
// and the new file is only opened; a link in its place is neither renamed nor opened. The lock
// on the file keeps two of them from renaming it at once; one that finds it taken opens the
// name, and tries again at its next line if that is still the full file.
bool RotateLocked() {
    const int full = g_fd;
    const bool busy = flock(full, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!busy) {
        struct stat mine {};
        struct stat named {};
        const bool ours = fstat(full, &mine) == 0 &&
                          fstatat(g_dir, g_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                          mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
        if (ours && renameat(g_dir, g_name, g_dir, g_older) != 0) return false;
    }
    g_fd = -1;
    const bool opened = OpenLocked();
    close(full);  // and its lock with it
    return opened;
}

bool ReadyLocked(size_t length) {
    if (g_fd < 0 && !OpenLocked()) return false;
    if (g_size + static_cast<off_t>(length) > kFileLimit) return RotateLocked();
    return true;
}

// One write: a line never mixes with another's, whichever library of the process wrote it.
bool WriteLocked(const char* data, size_t length) {
    ssize_t written;
    do {
        written = write(g_fd, data, length);
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(length)) return false;
    g_size += static_cast<off_t>(length);
    return true;
}

uint64_t MonotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

constexpr char kHexDigits[] = "0123456789abcdef";

// Text put into a buffer that it never overruns.
class Text {
public:
    Text(char* begin, char* end) : at_(begin), end_(end) {}

    char* at() const { return at_; }
    void Put(char c) {
        if (at_ < end_) *at_++ = c;
    }
    void Put(const char* text) {
        while (*text != '\0') Put(*text++);
    }
    void Decimal(unsigned long long value) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0) Put(digits[--n]);
    }
    void Signed(long value) {
        if (value < 0) {
            Put('-');
            Decimal(0ULL - static_cast<unsigned long long>(value));
        } else {
            Decimal(static_cast<unsigned long long>(value));
        }
    }
    void Hex(uint8_t byte) {
        Put(kHexDigits[byte >> 4]);
        Put(kHexDigits[byte & 0x0F]);
    }
    // In double quotes, with quotes, backslashes and anything not printable escaped; "..."
    // after a text cut short. A Java null shows as null.
    void Quoted(const char* text) {
        if (text == nullptr) {
            Put("null");
            return;
        }
        Put('"');
        size_t shown = 0;
        for (; *text != '\0' && shown < kTextShown; ++text, ++shown) {
            const auto c = static_cast<uint8_t>(*text);
            if (c == '"' || c == '\\') {
                Put('\\');
                Put(static_cast<char>(c));
            } else if (c < 0x20 || c >= 0x7F) {
                Put("\\x");
                Hex(c);
            } else {
                Put(static_cast<char>(c));
            }
        }
        Put('"');
        if (*text != '\0') Put("...");
    }

private:
    char* at_;
    char* end_;
};

// A line under construction: the room for its stamp, then library (with the port's slot for a
// port of its own), role and thread.
class Line {
public:
    explicit Line(const Port& port) : text_(buffer_ + kStampRoom, buffer_ + sizeof buffer_ - 1) {
        text_.Put(kDeliverable.variant.name);
        if (port.slot == kClosedSlot) {
            text_.Put("#none");  // an instance of its own port that has none now
        } else if (!port.shared()) {
            text_.Put('#');
            text_.Decimal(port.slot);
        }
        text_.Put(t_monitor ? " monitor " : " caller ");
        text_.Decimal(static_cast<unsigned long long>(gettid()));
        text_.Put(' ');
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Text& text() { return text_; }

    // Stamps the line and appends it to the file, or switches the trace off.
    void Emit() {
        char* const end = text_.at();
        *end = '\n';
        const MutexHold hold(g_file);
        if (!On()) return;  // switched off meanwhile
        char* start = buffer_ + kStampRoom;
        *--start = ' ';
        uint64_t stamp = MonotonicMicros();
        do {
            *--start = static_cast<char>('0' + stamp % 10);
            stamp /= 10;
        } while (stamp != 0);
        const auto length = static_cast<size_t>(end + 1 - start);
        if (!ReadyLocked(length) || !WriteLocked(start, length)) SwitchOffLocked();
    }

private:
    char buffer_[kStampRoom + kLineRoom];
    Text text_;
};

void Transfer(const Port& port, const char* direction, const void* bytes, long count,
              bool print) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put(direction);
    text.Put(' ');
    text.Decimal(static_cast<unsigned long long>(count));
    if (print) text.Put(" print");
    const long limit = print ? kPrintShown : kOtherShown;
    const long shown = count < limit ? count : limit;
    const auto* byte = static_cast<const uint8_t*>(bytes);
    for (long i = 0; i < shown; ++i) {
        text.Put(' ');
        text.Hex(byte[i]);
    }
    if (shown < count) text.Put(" ...");
    line.Emit();
}

#ifndef PRN_TRACE_COMPILED_OUT
// PRN_TRACE is read once, when the library is loaded: before the constructors of default
// priority, so that nothing the library does at load goes untraced. Its directory is opened
// then (a directory that is not there leaves the trace off); the file at the first line.
__attribute__((constructor(101))) void ReadSetting() {
    const char* path = std::getenv("PRN_TRACE");
    if (path == nullptr || *path == '\0' || std::strlen(path) >= PATH_MAX) return;
    const char* slash = std::strrchr(path, '/');
    const char* name = slash == nullptr ? path : slash + 1;
    const size_t length = std::strlen(name);
    if (length == 0) return;  // a directory
    char dir[PATH_MAX] = ".";
    if (slash != nullptr) {
        const auto dirLength = static_cast<size_t>(slash == path ? 1 : slash - path);
        std::memcpy(dir, path, dirLength);
        dir[dirLength] = '\0';
    }
    // O_PATH: only looked in, so a directory the user may search but not list does as well.
    g_dir = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (g_dir < 0) return;
    std::memcpy(g_name, name, length + 1);
    std::memcpy(g_older, name, length);
    std::memcpy(g_older + length, ".1", 3);
    g_on.store(true, std::memory_order_relaxed);
}

// Run after the library's own destructor (its close of the line), when the library is unloaded
// or the process ends: an unloaded library leaves no descriptor behind, of the file or its
// directory.
__attribute__((destructor(101))) void CloseFile() {
    const MutexHold hold(g_file);
    SwitchOffLocked();
}
#endif

}  // namespace

void Sent(const Port& port, const void* bytes, long count) {
    if (count > 0) Transfer(port, "out", bytes, count, t_print);
}

void Received(const Port& port, const void* bytes, long count) {
    if (count > 0) Transfer(port, "in", bytes, count, false);
}

void Opened(const Port& port, const char* name, const char* settings, long result) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put("open ");
    text.Quoted(name);
    text.Put(' ');
    text.Quoted(settings);
    text.Put(" -> ");
    text.Signed(result);
    line.Emit();
}

void Claimed(const Port& port, long timeout, bool thermal, long result) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put("claim ");
    text.Signed(timeout);
    text.Put(thermal ? " thermal -> " : " impact -> ");
    text.Signed(result);
    line.Emit();
}

void Closed(const Port& port) {
    const KeepErrno keep;
    Line line(port);
    line.text().Put("close");
    line.Emit();
}

void State(const Port& port, int32_t status, const char* refusal, const char* why) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put("state ");
    text.Signed(status);
    text.Put(' ');
    text.Put(refusal);
    text.Put(' ');
    text.Put(why);
    line.Emit();
}

void Refused(const Port& port, const char* why) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put("refused ");
    text.Put(why);
    line.Emit();
}

void GaveUp(const Port& port, const char* why, long count) {
    const KeepErrno keep;
    Line line(port);
    Text& text = line.text();
    text.Put("gave up ");
    text.Put(why);
    text.Put(' ');
    text.Signed(count);
    line.Emit();
}

void MarkMonitorThread() { t_monitor = true; }

void PrintBegins() { t_print = true; }

void PrintEnds() { t_print = false; }

}  // namespace trace
