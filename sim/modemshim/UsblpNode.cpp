// The kernel's USB printer driver (usblp) rules, for the ptys that stand in for its nodes: the
// devices whose line in the state file carries the field "usblp" (the line's format is at the
// top of ModemShim.cpp).
//  - One open at a time: an open of such a node while a descriptor of this process has it open
//    fails with EBUSY (the driver allows one open of a node, by anyone); close() ends the open.
//    open, open64, openat, openat64 and their _FORTIFY_SOURCE forms (__open_2, ...) are
//    wrapped. An O_PATH open is no open of the device and is not counted; a dup() of the
//    descriptor is the same open, as in the kernel.
//  - A transfer that failed while the printer stays plugged in (a noisy cable, a stalled
//    endpoint): the driver fails one read with EIO and goes on. The printer arms it by writing
//    a new token into the line (eio=<n>); the next read() of the node's open descriptor fails
//    with EIO without reading, once per new token. The shim remembers the token it served per
//    node (st_rdev) across closes, so that a later open is not failed again; a node it has not
//    seen (or has forgotten, after 32 others) serves a token that is already armed on its first
//    read.
//  - LPIOC_GET_DEVICE_ID(len) copies the ID of the line's id=<text> field, with its two bytes
//    of big-endian length in front (counting themselves), cut to len, and returns 0; EINVAL for
//    a request that is not a read, as the driver; ENOTTY when the line has no ID, as a pty
//    answers anyway. The driver's other requests (LPGETSTATUS, the protocol ones) are not
//    modelled: the pty answers them (ENOTTY).
// Writes, and the hang-up of an unplugged printer (the master closed), are the pty's own.
//
// The same opens remember every descriptor of a listed line, of any kind, for the room rule
// (RoomLimit.cpp).
// On the pass-through paths: an open looks at the environment and, with a state file named,
// fstat()s the new descriptor and reads the file for character devices only; read() and close()
// of other descriptors cost one load while no node is open, and a scan of a few slots otherwise.
#include "UsblpNode.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>

#include "RoomLimit.h"
#include "StateFile.h"

namespace prnshim {

std::atomic<int> gUsblpOpen{0};

namespace {

// A stand-in node this process has met. Constant-initialised; slots are taken and changed under
// gNodeLock, and read without it.
struct Node {
    std::atomic<unsigned long> device{0};       // st_rdev + 1; 0: free slot
    std::atomic<int> owner{0};                  // the descriptor that has it open, + 1; 0: none
    std::atomic<unsigned long long> served{0};  // the read error's token served last
};
constexpr int kNodeSlots = 32;
Node gNodes[kNodeSlots];
std::atomic_flag gNodeLock = ATOMIC_FLAG_INIT;
std::atomic<unsigned long> gRefusedOpens{0};
std::atomic<unsigned long> gFailedReads{0};

// Held around a few loads and stores (and at most an fstat): a spin is enough.
class NodeLock {
  public:
    NodeLock() {
        while (gNodeLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~NodeLock() { gNodeLock.clear(std::memory_order_release); }
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;
};

unsigned long keyOf(dev_t rdev) {
    return static_cast<unsigned long>(rdev) + 1;
}

// With gNodeLock held: the slot of a node, a new one when it has none (a free slot, else the
// slot of a node nobody has open); nullptr when every slot is in use.
Node* nodeOf(dev_t rdev) {
    const unsigned long key = keyOf(rdev);
    Node* free = nullptr;
    Node* idle = nullptr;
    for (Node& node : gNodes) {
        const unsigned long device = node.device.load(std::memory_order_relaxed);
        if (device == key) return &node;
        if (device == 0 && free == nullptr) free = &node;
        if (device != 0 && idle == nullptr && node.owner.load() == 0) idle = &node;
    }
    Node* const node = free != nullptr ? free : idle;
    if (node == nullptr) return nullptr;
    node->owner.store(0);
    node->served.store(0);
    node->device.store(key, std::memory_order_release);
    return node;
}

// fd still names the node: a number closed behind our back (close_range, dup2) and given out
// again names something else.
bool names(int fd, dev_t rdev) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

bool ownsAny(int fd) {
    const int key = fd + 1;
    for (const Node& node : gNodes)
        if (node.owner.load(std::memory_order_acquire) == key) return true;
    return false;
}

// The slot of the node fd has open, when fd is its owner.
Node* ownedBy(int fd, dev_t rdev) {
    const int key = fd + 1;
    for (Node& node : gNodes)
        if (node.owner.load(std::memory_order_acquire) == key && node.device.load() == keyOf(rdev))
            return &node;
    return nullptr;
}

// The system call's result for a new descriptor: fd itself, or -1 with EBUSY (fd closed again)
// when it is a stand-in node that another descriptor of ours has open.
int claimOnOpen(int fd, int flags) {
    if (fd < 0 || (flags & O_PATH) != 0) return fd;
    const char* file = stateFile();
    if (file == nullptr) return fd;
    const int saved = errno;
    Line line;
    Entry entry;
    if (!describeDescriptor(fd, &line) || !lookupEntry(file, line, &entry)) {
        errno = saved;
        return fd;
    }
    // Every listed line's writes see its room (RoomLimit.cpp).
    noteLineOpen(fd, line);
    if (!entry.usblp) {
        errno = saved;
        return fd;
    }
    bool busy = false;
    {
        const NodeLock lock;
        if (Node* node = nodeOf(line.st.st_rdev)) {
            const int owner = node->owner.load() - 1;
            busy = owner >= 0 && owner != fd && names(owner, line.st.st_rdev);
            if (!busy) {
                if (owner < 0) gUsblpOpen.fetch_add(1);
                node->owner.store(fd + 1, std::memory_order_release);
            }
        }
    }
    if (busy) {
        forgetLineOpen(fd);
        realClose()(fd);
        gRefusedOpens.fetch_add(1);
        return fail(EBUSY);
    }
    errno = saved;
    return fd;
}

bool takesMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// The mode argument of an open that creates a file; 0 for any other.
mode_t modeArgument(int flags, va_list args) {
    return takesMode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

int openNode(int directory, const char* path, int flags, mode_t mode) {
    return claimOnOpen(realOpenat(directory, path, flags, mode), flags);
}

}  // namespace

bool serveUsblpRead(int fd, ssize_t* result) {
    if (!ownsAny(fd)) return false;
    const int saved = errno;
    Line line;
    Entry entry;
    Node* node = nullptr;
    if (lookupDescriptor(fd, &line, &entry) && entry.usblp && entry.readError != 0)
        node = ownedBy(fd, line.st.st_rdev);
    errno = saved;
    if (node == nullptr) return false;
    unsigned long long served = node->served.load();
    // Once per token, also when two threads read at once.
    if (served == entry.readError || !node->served.compare_exchange_strong(served, entry.readError))
        return false;
    gFailedReads.fetch_add(1);
    *result = fail(EIO);
    return true;
}

void forgetUsblpOpen(int fd) {
    if (!ownsAny(fd)) return;
    const NodeLock lock;
    const int key = fd + 1;
    for (Node& node : gNodes) {
        if (node.owner.load() == key) {
            node.owner.store(0, std::memory_order_release);
            gUsblpOpen.fetch_sub(1);
        }
    }
}

bool serveDeviceId(int fd, unsigned long request, void* arg, int* result) {
    Line line;
    Entry entry;
    DeviceId id;
    if (!lookupDescriptor(fd, &line, &entry, &id) || !entry.usblp) return false;
    if (_IOC_DIR(request) != _IOC_READ) {
        *result = fail(EINVAL);
    } else if (!entry.hasDeviceId) {
        *result = fail(ENOTTY);
    } else if (arg == nullptr) {
        *result = fail(EFAULT);
    } else {
        const size_t whole = 2 + id.length;
        const size_t room = _IOC_SIZE(request);
        unsigned char* out = static_cast<unsigned char*>(arg);
        for (size_t i = 0; i < whole && i < room; ++i) {
            if (i == 0)
                out[i] = static_cast<unsigned char>(whole >> 8);
            else if (i == 1)
                out[i] = static_cast<unsigned char>(whole & 0xFF);
            else
                out[i] = id.text[i - 2];
        }
        *result = 0;
    }
    return true;
}

}  // namespace prnshim

extern "C" unsigned long prnsim_usblp_refused_opens() {
    return prnshim::gRefusedOpens.load();
}

extern "C" unsigned long prnsim_usblp_failed_reads() {
    return prnshim::gFailedReads.load();
}

// The C library's opens, each with the rule of one open at a time for stand-in nodes.

extern "C" __attribute__((noreturn)) void __chk_fail();

extern "C" __attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = prnshim::modeArgument(flags, args);
    va_end(args);
    return prnshim::openNode(AT_FDCWD, path, flags, mode);
}

extern "C" __attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = prnshim::modeArgument(flags, args);
    va_end(args);
    return prnshim::openNode(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

extern "C" __attribute__((visibility("default"))) int openat(int directory, const char* path,
                                                             int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = prnshim::modeArgument(flags, args);
    va_end(args);
    return prnshim::openNode(directory, path, flags, mode);
}

extern "C" __attribute__((visibility("default"))) int openat64(int directory, const char* path,
                                                               int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = prnshim::modeArgument(flags, args);
    va_end(args);
    return prnshim::openNode(directory, path, flags | O_LARGEFILE, mode);
}

// What open() becomes with _FORTIFY_SOURCE when the flags are not known at compile time: no
// mode, so an open that would create a file is a bug, and ends the process as the C library's.
extern "C" __attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    if (prnshim::takesMode(flags)) __chk_fail();
    return prnshim::openNode(AT_FDCWD, path, flags, 0);
}

extern "C" __attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    if (prnshim::takesMode(flags)) __chk_fail();
    return prnshim::openNode(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}

extern "C" __attribute__((visibility("default"))) int __openat_2(int directory, const char* path,
                                                                 int flags) {
    if (prnshim::takesMode(flags)) __chk_fail();
    return prnshim::openNode(directory, path, flags, 0);
}

extern "C" __attribute__((visibility("default"))) int __openat64_2(int directory, const char* path,
                                                                   int flags) {
    if (prnshim::takesMode(flags)) __chk_fail();
    return prnshim::openNode(directory, path, flags | O_LARGEFILE, 0);
}
