#include "StateFile.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace prnshim {
namespace {

ssize_t syscallRead(int fd, void* data, size_t size) {
    return ::syscall(SYS_read, fd, data, size);
}
ssize_t syscallWrite(int fd, const void* data, size_t size) {
    return ::syscall(SYS_write, fd, data, size);
}
int syscallClose(int fd) {
    return static_cast<int>(::syscall(SYS_close, fd));
}

std::atomic<ReadFunction> gRealRead{nullptr};
std::atomic<WriteFunction> gRealWrite{nullptr};
std::atomic<CloseFunction> gRealClose{nullptr};

bool sameDevice(const char* entry, const char* fdTarget, const struct stat& fdStat) {
    if (std::strcmp(entry, fdTarget) == 0) return true;
    // The entry may name a symlink to the device, or the code under test may have opened one.
    struct stat entryStat;
    if (::stat(entry, &entryStat) != 0) return false;
    if (S_ISCHR(entryStat.st_mode)) return entryStat.st_rdev == fdStat.st_rdev;
    return entryStat.st_dev == fdStat.st_dev && entryStat.st_ino == fdStat.st_ino;
}

bool separator(char c) {
    return c == '\0' || c == ' ' || c == '\t';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The device ID field's text up to the next separator: "%XX" stands for the byte XX (spaces,
// '%' and bytes outside printable ASCII are written so), every other character for itself.
void decodeDeviceId(const char* p, DeviceId* id) {
    id->length = 0;
    while (!separator(*p) && id->length < sizeof id->text) {
        int high = -1;
        int low = -1;
        if (*p == '%' && (high = hexDigit(p[1])) >= 0 && (low = hexDigit(p[2])) >= 0) {
            id->text[id->length++] = static_cast<unsigned char>(high * 16 + low);
            p += 3;
        } else {
            id->text[id->length++] = static_cast<unsigned char>(*p++);
        }
    }
}

bool field(const char* p, const char* name, size_t length) {
    return std::strncmp(p, name, length) == 0;
}

// Parses "<path> <hex> [field...]"; true and the entry when the path is this line's device.
// Fields other than outq=<n>, ppdev, status=<hex>, reverse=<n>, held=<n>, usblp, eio=<n>,
// id=<text> and room=<token>:<n> are skipped.
bool matchLine(char* text, const Line& line, Entry* entry, DeviceId* id) {
    char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    char* path = p;
    while (!separator(*p)) ++p;
    if (*p == '\0' || p == path) return false;
    *p++ = '\0';
    char* end = nullptr;
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p) return false;
    if (!sameDevice(path, line.target, line.st)) return false;
    *entry = Entry{};
    entry->bits = static_cast<unsigned>(value);
    for (p = end;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0') break;
        if (field(p, "outq=", 5))
            entry->outq = static_cast<unsigned>(std::strtoul(p + 5, nullptr, 10));
        else if (field(p, "ppdev", 5) && separator(p[5]))
            entry->ppdev = true;
        else if (field(p, "status=", 7))
            entry->status = static_cast<unsigned char>(std::strtoul(p + 7, nullptr, 16));
        else if (field(p, "reverse=", 8))
            entry->reverse = std::strtoul(p + 8, nullptr, 10) != 0;
        else if (field(p, "held=", 5))
            entry->held = std::strtoul(p + 5, nullptr, 10) != 0;
        else if (field(p, "usblp", 5) && separator(p[5]))
            entry->usblp = true;
        else if (field(p, "eio=", 4))
            entry->readError = std::strtoull(p + 4, nullptr, 10);
        else if (field(p, "id=", 3)) {
            entry->hasDeviceId = true;
            if (id != nullptr) decodeDeviceId(p + 3, id);
        } else if (field(p, "room=", 5)) {
            char* colon = nullptr;
            const unsigned long long token = std::strtoull(p + 5, &colon, 10);
            if (colon != p + 5 && *colon == ':' && token != 0) {
                entry->hasRoom = true;
                entry->roomToken = token;
                entry->roomBytes = std::strtoul(colon + 1, nullptr, 10);
            }
        }
        while (!separator(*p)) ++p;
    }
    return true;
}

}  // namespace

ReadFunction realRead() {
    return resolve(gRealRead, "read", syscallRead);
}
WriteFunction realWrite() {
    return resolve(gRealWrite, "write", syscallWrite);
}
CloseFunction realClose() {
    return resolve(gRealClose, "close", syscallClose);
}

int realOpenat(int directory, const char* path, int flags, mode_t mode) {
    return static_cast<int>(::syscall(SYS_openat, directory, path, flags, mode));
}

int fail(int error) {
    errno = error;
    return -1;
}

bool describeDescriptor(int fd, Line* line) {
    if (::fstat(fd, &line->st) != 0 || !S_ISCHR(line->st.st_mode)) return false;
    char link[32] = "/proc/self/fd/";
    {
        char digits[12];
        int n = 0;
        unsigned v = static_cast<unsigned>(fd);
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        size_t at = std::strlen(link);
        while (n > 0) link[at++] = digits[--n];
        link[at] = '\0';
    }
    const ssize_t length = ::readlink(link, line->target, sizeof line->target - 1);
    if (length <= 0) return false;
    line->target[length] = '\0';
    return true;
}

const char* stateFile() {
    const char* file = std::getenv("PRNSIM_MODEM_FILE");
    return file != nullptr && *file != '\0' ? file : nullptr;
}

bool lookupEntry(const char* file, const Line& line, Entry* entry, DeviceId* id) {
    const int in = realOpenat(AT_FDCWD, file, O_RDONLY | O_CLOEXEC, 0);
    if (in < 0) return false;
    bool found = false;
    char chunk[256];
    char text[kLineRoom];
    size_t used = 0;
    bool overlong = false;
    for (;;) {
        const ssize_t n = realRead()(in, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        const bool eof = n <= 0;
        for (ssize_t i = 0; !found && i <= (eof ? 0 : n - 1); ++i) {
            const char c = eof ? '\n' : chunk[i];
            if (c != '\n') {
                if (used + 1 < sizeof text)
                    text[used++] = c;
                else
                    overlong = true;  // not a line we wrote; skip it
                continue;
            }
            text[used] = '\0';
            if (!overlong && used > 0) found = matchLine(text, line, entry, id);
            used = 0;
            overlong = false;
        }
        if (found || eof) break;
    }
    realClose()(in);
    return found;
}

bool lookupDescriptor(int fd, Line* line, Entry* entry, DeviceId* id) {
    const char* file = stateFile();
    return file != nullptr && describeDescriptor(fd, line) && lookupEntry(file, *line, entry, id);
}

}  // namespace prnshim
