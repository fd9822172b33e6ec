// A line that takes only so many more bytes: the host's writes to a listed device whose line
// carries the field room=<token>:<n> (the line's format is at the top of ModemShim.cpp) hand
// over at most n bytes in all, then fail with EAGAIN, as a full queue makes a non-blocking write
// fail (the libraries open every line non-blocking; a blocking write fails the same way here),
// until the printer removes the field. A write that would cross the limit takes what is left,
// so a command can be made to go out in part. Each new token grants its n bytes afresh; the
// shim counts what it handed over per device (st_rdev), so every descriptor of the device shares
// the room. Two threads writing to one device at once may together take a little more than n.
//  - Serial lines and USB printer nodes: the descriptors of listed lines opened through the
//    shim's opens (UsblpNode.cpp wraps them) are remembered here, and their writes go to the
//    pty through serveRoomWrite. A descriptor beyond the table's 32, or one made by dup(), is not
//    limited.
//  - Parallel ports: the shim's ppdev write asks roomFor and tookRoom around its transfer.
// On the pass-through paths: write() and close() of other descriptors cost one load while no
// listed line is open, and a scan of a few slots otherwise; a remembered descriptor's write reads
// the state file.
#include "RoomLimit.h"

#include <sys/stat.h>

#include <cerrno>

namespace prnshim {

std::atomic<int> gLinesOpen{0};

namespace {

// A descriptor of a listed line. Constant-initialised; taken and freed under gLock.
struct OpenLine {
    std::atomic<int> key{0};               // descriptor + 1; 0: free
    std::atomic<unsigned long> device{0};  // st_rdev
};
constexpr int kLineSlots = 32;
OpenLine gOpenLines[kLineSlots];

// What a device has taken under the room granted last.
struct Room {
    std::atomic<unsigned long> device{0};  // st_rdev + 1; 0: free
    std::atomic<unsigned long long> token{0};
    std::atomic<unsigned long> taken{0};
};
constexpr int kRoomSlots = 32;
Room gRooms[kRoomSlots];
std::atomic<unsigned> gNextRoom{0};  // the slot a new device takes when none is free

std::atomic_flag gLock = ATOMIC_FLAG_INIT;

// Held around a few loads and stores: a spin is enough.
class SlotLock {
  public:
    SlotLock() {
        while (gLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SlotLock() { gLock.clear(std::memory_order_release); }
    SlotLock(const SlotLock&) = delete;
    SlotLock& operator=(const SlotLock&) = delete;
};

OpenLine* findLine(int fd) {
    const int key = fd + 1;
    for (OpenLine& slot : gOpenLines)
        if (slot.key.load(std::memory_order_acquire) == key) return &slot;
    return nullptr;
}

// With gLock held: the device's count, a new one (nothing taken) when it has none; the oldest
// slot goes when all are in use.
Room* roomOf(dev_t rdev) {
    const unsigned long key = static_cast<unsigned long>(rdev) + 1;
    for (Room& room : gRooms)
        if (room.device.load() == key) return &room;
    Room* slot = nullptr;
    for (Room& room : gRooms) {
        if (room.device.load() == 0) {
            slot = &room;
            break;
        }
    }
    if (slot == nullptr) slot = &gRooms[gNextRoom.fetch_add(1) % kRoomSlots];
    slot->token.store(0);
    slot->taken.store(0);
    slot->device.store(key);
    return slot;
}

}  // namespace

void noteLineOpen(int fd, const Line& line) {
    if (fd < 0) return;
    const SlotLock lock;
    if (OpenLine* old = findLine(fd)) {  // closed behind our back: the number is new
        old->key.store(0, std::memory_order_release);
        gLinesOpen.fetch_sub(1);
    }
    for (OpenLine& slot : gOpenLines) {
        if (slot.key.load(std::memory_order_relaxed) != 0) continue;
        slot.device.store(static_cast<unsigned long>(line.st.st_rdev));
        gLinesOpen.fetch_add(1);
        slot.key.store(fd + 1, std::memory_order_release);
        return;
    }
}

void forgetLineOpen(int fd) {
    if (findLine(fd) == nullptr) return;
    const SlotLock lock;
    if (OpenLine* slot = findLine(fd)) {
        slot->key.store(0, std::memory_order_release);
        gLinesOpen.fetch_sub(1);
    }
}

size_t roomFor(const Line& line, const Entry& entry, size_t size) {
    if (!entry.hasRoom) return size;
    unsigned long taken = 0;
    {
        const SlotLock lock;
        Room* room = roomOf(line.st.st_rdev);
        if (room->token.load() != entry.roomToken) {  // a new grant: its bytes afresh
            room->token.store(entry.roomToken);
            room->taken.store(0);
        }
        taken = room->taken.load();
    }
    const unsigned long left = taken < entry.roomBytes ? entry.roomBytes - taken : 0;
    return left < size ? left : size;
}

void tookRoom(const Line& line, const Entry& entry, ssize_t taken) {
    if (!entry.hasRoom || taken <= 0) return;
    const SlotLock lock;
    Room* room = roomOf(line.st.st_rdev);
    if (room->token.load() == entry.roomToken)
        room->taken.fetch_add(static_cast<unsigned long>(taken));
}

bool serveRoomWrite(int fd, const void* data, size_t size, ssize_t* result) {
    OpenLine* slot = findLine(fd);
    if (slot == nullptr) return false;
    const int saved = errno;
    Line line;
    Entry entry;
    const bool listed = lookupDescriptor(fd, &line, &entry) &&
                        static_cast<unsigned long>(line.st.st_rdev) == slot->device.load();
    errno = saved;
    if (!listed || !entry.hasRoom) return false;
    const size_t allowed = roomFor(line, entry, size);
    if (allowed == 0 && size > 0) {
        *result = fail(EAGAIN);
        return true;
    }
    *result = realWrite()(fd, data, allowed);
    tookRoom(line, entry, *result);
    return true;
}

}  // namespace prnshim
