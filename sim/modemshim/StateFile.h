// What the parts of the modem shim share: the C library's functions they stand in front of, and
// the one reader of the state file the virtual printer writes (its format is described at the
// top of ModemShim.cpp). Nothing here allocates or needs a static constructor.
#pragma once

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace prnshim {

// The C library's function of that name, looked up once; fallback when there is none.
template <typename Function>
Function resolve(std::atomic<Function>& cache, const char* name, Function fallback) {
    Function fn = cache.load(std::memory_order_acquire);
    if (fn != nullptr) return fn;
    // Two threads may both resolve; they find the same function.
    const int saved = errno;
    fn = reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
    if (fn == nullptr) fn = fallback;
    errno = saved;
    cache.store(fn, std::memory_order_release);
    return fn;
}

// The C library's read, write and close (the system calls when they cannot be found), and an
// open that goes straight to the system call, so that the shim's own opens never pass its
// wrappers.
using ReadFunction = ssize_t (*)(int, void*, size_t);
using WriteFunction = ssize_t (*)(int, const void*, size_t);
using CloseFunction = int (*)(int);
ReadFunction realRead();
WriteFunction realWrite();
CloseFunction realClose();
int realOpenat(int directory, const char* path, int flags, mode_t mode);

// -1 with errno set to error.
int fail(int error);

// A descriptor's device as the state file is matched against it.
struct Line {
    struct stat st;
    char target[256];  // what /proc/self/fd/N points at
};

// False when fd is not a character device (so no serial line) or cannot be resolved.
bool describeDescriptor(int fd, Line* line);

// One device's line in the state file.
struct Entry {
    unsigned bits = 0;
    unsigned outq = 0;   // bytes stuck in the output queue; 0: the line takes data
    bool ppdev = false;  // a parallel port, with the fields that follow
    unsigned char status = 0;
    bool reverse = false;
    bool held = false;
    bool usblp = false;                // a USB printer node, with the fields that follow
    unsigned long long readError = 0;  // the token of the read error armed last; 0: none
    bool hasDeviceId = false;          // an IEEE 1284 device ID is given
    bool hasRoom = false;              // the host's writes may take only so many bytes
    unsigned long long roomToken = 0;  // the room granted last (RoomLimit.h)
    unsigned long roomBytes = 0;       // how many bytes it grants
};

// The longest line the shim reads; longer ones are not the printer's and are skipped.
constexpr size_t kLineRoom = 512;

// A device ID as the line gives it, decoded.
struct DeviceId {
    unsigned char text[kLineRoom];
    size_t length = 0;
};

// $PRNSIM_MODEM_FILE, or nullptr when it is unset or empty.
const char* stateFile();

// The entry of the line's device, if the state file lists it; with id, also its device ID.
bool lookupEntry(const char* file, const Line& line, Entry* entry, DeviceId* id = nullptr);

// The entry for fd, if it is a listed device.
bool lookupDescriptor(int fd, Line* line, Entry* entry, DeviceId* id = nullptr);

}  // namespace prnshim
